"""The daily reconciliation against the sandbox's WeChat Pay bill and kitchen, and settlement
finding a payment whose notifications were all lost."""
import datetime
import subprocess
import sys

import pytest

CHINA = datetime.timezone(datetime.timedelta(hours=8))
NOTIFY_PATH = '/api/wechat_pay_notify'


def today():
    return datetime.datetime.now(CHINA).date()


def reconcile(host, day=None):
    """Run the reconciliation of ``day`` (China's today) as the back office does; the day's
    state, why it failed, and its differences (kind, number, shop's value, other side's)."""
    day = day or today()
    with host.env() as env:
        record = env['kfc.reconciliation'].create({'day': day})
        record.action_reconcile()
    with host.env() as env:
        record = env['kfc.reconciliation'].search([('day', '=', day)])
        return record.state, record.message, sorted(
            (d.kind, d.reference, d.shop_value, d.outside_value) for d in record.difference_ids)


def refund_all(host, token, order_id):
    """The customer takes back every dish of a paid order; the refund's number."""
    with host.env() as env:
        order = env['sale.order'].browse(order_id)
        form = {'token': token, 'id': str(order_id), 'transaction_id': order.transaction_id,
                'out_trade_no': order.name}
    reply = host.post('wechat_jsapi_refund', data=form).json()
    assert reply['code'] == 200, reply
    return reply['data']['out_refund_no']


def names(host, *order_ids):
    with host.env() as env:
        return [env['sale.order'].browse(order_id).name for order_id in order_ids]


def test_a_day_with_every_kind_of_difference_is_reported_exactly(host):
    token = host.login(nickname='对账')
    billed, refunded, never = (host.create_order(token, paid=[(dish, price)])
                               for dish, price in (('D3001', 9.9), ('B1002', 19.9), ('D3001', 9.9)))
    billed_tid = host.pay(billed)
    host.pay(refunded)
    refund = refund_all(host, token, refunded)
    host.control('wechatpay/refund', out_refund_no=refund, deliveries=0)   # its notice is lost
    billed_name, never_name = names(host, billed, never)
    host.control('wechatpay/bill_amend', number=billed_name, column='订单金额', value='0.99')
    host.control('wechatpay/notify', out_trade_no='STRAY2024000001', url=host.url + NOTIFY_PATH)
    [stray] = [t for t in host.inspect('wechatpay/payments')['transactions']
               if t['out_trade_no'] == 'STRAY2024000001']
    with host.env() as env:         # paid and handed over, says the shop alone
        order = env['sale.order'].browse(never)
        order.write({'is_paid': True, 'transaction_id': '4200000000000000000000000001',
                     'pay_time': datetime.datetime.utcnow(), 'state': 'paid'})
        order.line_ids.write({'uuid': '0ddba11c0ffee0ddba11c0ffee000001', 'detail_state': 'wait'})

    state, _, differences = reconcile(host)

    assert state == 'open'
    assert differences == sorted([
        ('line_unknown', '0ddba11c0ffee0ddba11c0ffee000001', 'wait, order %s' % never_name,
         '-1 订单不存在'),
        ('payment_differs', billed_name, 'paid 9.90 (%s)' % billed_tid,
         'SUCCESS 0.99 (%s)' % billed_tid),
        ('payment_missing', never_name, 'paid 9.90 (4200000000000000000000000001)',
         'unknown to WeChat Pay'),
        ('payment_unknown', 'STRAY2024000001', False,
         'SUCCESS 0.01 (%s)' % stray['transaction_id']),
        ('refund_differs', refund, '19.90 in progress', '19.90 SUCCESS'),
    ])
    with host.env() as env:
        assert env['api.log'].search_count([('name', '=', '对账差异')]) == 5


def test_a_clean_day_reports_nothing(host):
    token = host.login(nickname='平账')
    placed = host.create_order(token, paid=[('D3001', 9.9), ('B1002', 19.9)])
    refunded = host.create_order(token, paid=[('D3001', 9.9)])
    host.pay(placed, state='draft')
    assert host.post('post_change_sale_order_state',
                     data={'order_id': str(placed), 'token': token}).json()['state'] == 'paid'
    host.pay(refunded)
    host.control('wechatpay/refund', out_refund_no=refund_all(host, token, refunded))
    with host.env() as env:
        assert all(env['sale.order'].browse(placed).line_ids.mapped('uuid'))

    assert reconcile(host) == ('done', False, [])


def test_a_bill_whose_sha1_does_not_match_is_refused(host, paid_order):
    host.control('fault', service='wechatpay', mode='reply', path='/v3/billdownload',
                 body='交易时间,公众账号ID\n`2024-01-01 00:00:00,`wx\n')
    state, message, differences = reconcile(host)
    assert (state, differences) == ('failed', [])
    assert 'SHA-1' in message


@pytest.mark.standin_only(reason='ages the order past its payment deadline: Odoo lets nobody '
                                 'write when a record was created')
def test_a_payment_whose_notifications_were_all_lost_is_applied_by_one_settlement(host):
    token = host.login(nickname='漏单')
    order_id = host.create_order(token, paid=[('D3001', 9.9)])
    opened = host.post('wechat_jsapi_payment', json={'token': token, 'order_id': order_id,
                                                     'description': '测试订单'}).json()
    assert opened['code'] == 200, opened
    [name] = names(host, order_id)
    paid = host.control('wechatpay/confirm', out_trade_no=name, deliveries=0)
    with host.env() as env:
        order = env['sale.order'].browse(order_id)
        order.create_date -= datetime.timedelta(minutes=6)

    with host.env() as env:
        assert env['sale.order']._kfc_settle()['payments_found'] == 1
        order = env['sale.order'].browse(order_id)
        assert (order.is_paid, order.transaction_id) == (True, paid['resource']['transaction_id'])
    assert not host.inspect('wechatpay/notifications')['notifications'][0]['deliveries']


@pytest.mark.standin_only(reason="runs the stand-in's command line on its database file")
def test_the_command_line_reconciles_a_day(host):
    host.control('wechatpay/notify', out_trade_no='STRAY2024000002', url=host.url + NOTIFY_PATH)
    done = subprocess.run(
        [sys.executable, '-m', 'kfchost', 'reconcile', '--sandbox-url', host.sandbox.url,
         '--db', host.registry.db_path, '--date', today().isoformat()],
        capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert 'differences: 1\n  payment_unknown STRAY2024000002' in done.stdout
