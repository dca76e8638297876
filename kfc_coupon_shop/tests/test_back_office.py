"""The back office as the web client opens it: menus per group, each menu's action with its
views read as a Staff user would, the order filters, access rights and readable names."""
from lxml import etree

from odoo.exceptions import AccessError
from odoo.tests import tagged
from odoo.tools.safe_eval import safe_eval

from .common import ShopCase

STAFF_MENUS = {
    ('Orders', 'Orders'), ('Orders', 'Refunds'), ('Orders', 'Staff actions'), ('Coupons',),
    ('Coupon batches',), ('Catalogue', 'Dishes'),
    ('Catalogue', 'Menu categories'), ('Customers',), ('API log',),
    ('Reconciliation', 'Differences'), ('Reconciliation', 'Reconciled days'),
}
MANAGER_MENUS = STAFF_MENUS | {
    ('Today',), ('Issue coupons',),
    ('Orders', 'Settle now'), ('Orders', 'Settlement runs'),
    ('Catalogue', "Synchronise a store's menu"),
    ('Configuration', 'Back-end accounts'), ('Configuration', 'Keyword lists'),
    ('Configuration', 'WeChat account'),
}
SUBVIEWS = ('tree', 'form', 'kanban')


def shown_fields(node):
    """{name: sub-view nodes} of the fields a view node shows, without entering sub-views."""
    fields = {}
    for child in node:
        if child.tag == 'field':
            fields[child.get('name')] = [sub for sub in child if sub.tag in SUBVIEWS]
        elif child.tag not in SUBVIEWS:
            fields.update(shown_fields(child))
    return fields


@tagged('post_install', '-at_install')
class TestBackOffice(ShopCase):

    def app_menus(self, user):
        """The coupon shop's menus the web client loads for ``user``: {path: action id}."""
        menus = self.env['ir.ui.menu'].with_user(user).load_web_menus(False)
        apps = [m for m in menus.values() if m['xmlid'] == 'kfc_coupon_shop.menu_kfc_root']
        if not apps:
            return None, {}
        paths = {}

        def walk(menu, path):
            for child in (menus[child_id] for child_id in menu['children']):
                if child['actionID']:
                    paths[path + (child['name'],)] = child['actionID']
                walk(child, path + (child['name'],))
        walk(apps[0], ())
        return apps[0], paths

    def open_action(self, user, action_id):
        """Do what the web client does to show the action, as ``user``."""
        action = self.env['ir.actions.act_window'].browse(action_id)
        model = self.env[action.res_model].with_user(user)
        context = safe_eval(action.context or '{}')
        domain = safe_eval(action.domain or '[]')
        modes = action.view_mode.split(',')
        views = [(False, 'list' if mode == 'tree' else mode) for mode in modes]
        views.append((action.search_view_id.id, 'search'))
        result = model.get_views(views, {'action_id': action_id, 'load_filters': True,
                                         'toolbar': True})
        if model.is_transient():        # a wizard: a new record, as the web client makes it
            wizard = model.with_context(context)
            self.assertIn('value', wizard.onchange({}, [], wizard._onchange_spec()))
            return
        records = model.with_context(context).search(domain)
        self.assertTrue(records, action.name)
        for view_type, view in result['views'].items():
            arch = etree.fromstring(view['arch'])
            if view_type in ('list', 'form', 'kanban'):
                self.read_as_shown(records, arch)
            elif view_type in ('graph', 'pivot'):
                fields = arch.findall('field')
                measures = [f.get('name') for f in fields if f.get('type') == 'measure']
                groupby = [':'.join(filter(None, (f.get('name'), f.get('interval'))))
                           for f in fields if f.get('type') != 'measure']
                self.assertTrue(model.read_group(domain, measures, groupby, lazy=False))

    def read_as_shown(self, records, arch):
        """Read the fields the view shows, and those of its sub-views on the linked records."""
        fields = shown_fields(arch)
        records.read(list(fields))
        for name, subviews in fields.items():
            for subview in subviews:
                self.read_as_shown(records[name], subview)

    def test_staff_and_managers_find_the_app_and_every_menu_opens(self):
        for user, expected in ((self.staff, STAFF_MENUS), (self.manager, MANAGER_MENUS)):
            with self.subTest(user=user.login):
                app, paths = self.app_menus(user)
                self.assertEqual(app['name'], 'Coupon shop')
                self.assertEqual(set(paths), expected)
                first = ('Today',) if user == self.manager else ('Orders', 'Orders')
                self.assertEqual(app['actionID'], paths[first])
                for path, action_id in paths.items():
                    with self.subTest(menu=' / '.join(path)):
                        self.open_action(user, action_id)
        internal = self.env['res.users'].create({'name': 'Clerk', 'login': 'kfc_clerk'})
        self.assertEqual(self.app_menus(internal), (None, {}))

    def test_order_filters_find_what_they_say(self):
        Order = self.env['sale.order']
        to_pay = Order.create({'store_name': 'A'})
        unplaced = Order.create({'store_name': 'B', 'is_paid': True, 'transaction_id': 't2'})
        waiting = Order.create({'store_name': 'C', 'is_paid': True, 'state': 'paid',
                                'line_ids': [(0, 0, {'product_id': self.fries.id,
                                                     'detail_state': 'wait'})]})
        search = etree.fromstring(Order.get_view(view_type='search')['arch'])
        expected = {'to_pay': to_pay, 'paid_not_placed': unplaced, 'kitchen': waiting,
                    'failed_dishes': self.order, 'refunds_in_progress': self.order,
                    'at_counter': waiting | self.order}
        for name, orders in expected.items():
            [node] = search.xpath('//filter[@name=$name]', name=name)
            found = Order.search(safe_eval(node.get('domain')))
            self.assertEqual(found & (to_pay | unplaced | waiting | self.order), orders, name)

    def test_staff_read_and_change_nothing(self):
        order = self.order.with_user(self.staff)
        self.assertEqual(order.amount, 36)
        for change in (lambda: order.write({'remark': 'x'}),
                       lambda: order.line_ids.write({'detail_state': 'fail'}),
                       lambda: self.refund.with_user(self.staff).write({'state': 'done'}),
                       lambda: self.coupon.with_user(self.staff).write({'state': 'exchange'}),
                       lambda: self.env['kfc.coupon'].with_user(self.staff).create({'code': 'X'}),
                       lambda: order.unlink()):
            with self.assertRaises(AccessError):
                change()
        for model in ('api.config', 'account.config', 'keyword.config'):
            with self.assertRaises(AccessError):
                self.env[model].with_user(self.staff).search([])

    def test_credentials_reach_administrators_only_and_masked(self):
        self.assertEqual(self.wechat.with_user(self.manager).app_id, 'wx7d3f5a9c2e1b4068')
        for record, name in ((self.wechat, 'secret'), (self.account, 'ticket'),
                             (self.customer, 'token')):
            for user in (self.staff, self.manager):
                with self.subTest(field=name, user=user.login), self.assertRaises(AccessError):
                    record.with_user(user).read([name])
        form = self.env['api.config'].with_user(self.manager).get_view(view_type='form')
        self.assertFalse(etree.fromstring(form['arch']).xpath('//field[@name="secret"]'))
        admin = self.env.ref('base.user_admin')
        form = self.env['api.config'].with_user(admin).get_view(view_type='form')
        [secret] = etree.fromstring(form['arch']).xpath('//field[@name="secret"]')
        self.assertEqual(secret.get('password'), 'True')
        for view_type in ('tree', 'form'):
            arch = self.env['kfc.user'].get_view(view_type=view_type)['arch']
            self.assertFalse(etree.fromstring(arch).xpath('//field[@name="token"]'))

    def test_the_public_user_reaches_no_record(self):
        public = self.env.ref('base.public_user')
        for model in self.addon_models():
            for operation in ('read', 'write', 'create', 'unlink'):
                with self.subTest(model=model, operation=operation):
                    self.assertFalse(self.env[model].with_user(public).check_access_rights(
                        operation, raise_exception=False))

    def test_every_record_has_a_readable_name(self):
        fries_line, combo_line = self.order.line_ids
        self.assertEqual(fries_line.display_name, '%s / 薯条(中)' % self.order.name)
        self.assertEqual(self.combo.line_ids.display_name, '超值套餐 / 薯条(中)')
        self.assertEqual(self.customer.display_name, 'oSc-dM…mN0r')     # no nickname
        self.assertEqual(self.account.display_name, 'DEV-RW-0001')
        self.assertEqual(self.refund.line_ids.display_name, combo_line.display_name)
        for model in self.addon_models():
            for record in self.env[model].search([]):
                with self.subTest(record=record):
                    self.assertTrue(record.display_name)
                    self.assertNotRegex(record.display_name, r'^[\w.]+,\d+$')
