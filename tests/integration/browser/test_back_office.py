"""The staff's back office in a real browser, on Odoo 16 with the sandbox: a Staff member sees
today's orders at the counter, finds a customer's order from the search and reads its pick-up
codes (and sends one again); a Manager opens the day at a glance and gives back a dish the
customer ate, with a reason, through the refund wizard, and the refund reaches WeChat Pay;
neither may delete the paid order, its form lists who did what, and the orders list sums what
the shop kept. The staff read the add-on's labels in Chinese, on China's clock without being
given it."""
import json

import pytest
from selenium.webdriver.common.by import By

from back_office_browser import (action_menu, cells, click_button, click_row, click_tab,
                                 console_errors, dialog_text, footer_sums, kanban_columns,
                                 log_in, notifications, pick_action, search, settled,
                                 switch_view, wait_for, wait_until)
from page_browser import kitchen_orders, screenshot

pytestmark = pytest.mark.odoo16_only

REFUNDS_PATH = '/v3/refund/domestic/refunds'
REASON = '顾客投诉：汉堡是凉的'
NICKNAME = '李女士'
BURGER = 'B1002'        # a demo dish: 劲脆鸡腿堡, 19.90
LIST = '.o_list_view'
COUNTER_COLUMNS = ['已支付，未交厨房', '等待出餐', '取餐码已出', '失败']
LINES = '.o_form_view .o_field_one2many[name=line_ids]'
EVENTS = '.o_form_view .o_field_one2many[name=staff_event_ids]'
WIZARD = '.modal .o_form_view'
STAFF = {'login': 'wang.staff', 'password': 'staff-2026', 'name': '王店员'}
MANAGER = {'login': 'zhao.manager', 'password': 'manager-2026', 'name': '赵经理'}


def install_chinese(env):
    """zh_CN activated, with the add-on's translations (Odoo 16 here ships none of its own)."""
    [lang] = env['res.lang'].search([('code', '=', 'zh_CN'), ('active', 'in', (True, False))])
    env['base.language.install'].create({'lang_ids': [(6, 0, [lang.id])],
                                         'overwrite': True}).lang_install()


def add_user(env, group, values):
    """A user of the shop's ``group`` reading Chinese; the shop's zone comes by itself."""
    user = env['res.users'].create(dict(values, lang='zh_CN',
                                        groups_id=[(6, 0, [env.ref(group).id])]))
    assert user.tz == 'Asia/Shanghai'


def picked_up_order(host):
    """A customer's paid order of a burger and a cola, both handed out with pick-up codes:
    (order id, order number, {back-end link id: (dish, pick-up code)})."""
    token = host.login(nickname=NICKNAME)
    order_id = host.create_order(token, paid=[(BURGER, 19.9), ('D3001', 9.9)])
    host.pay(order_id, state='draft')
    assert host.post('post_change_sale_order_state', data={'order_id': order_id, 'token': token}).ok
    with host.env() as env:
        name = env['sale.order'].browse(order_id).name
    for uuid in kitchen_orders(host, name):
        host.control('coupon/finish', uuid=uuid)
    poll = host.post('post_pay_result', data={'order_id': order_id, 'token': token}).json()
    assert poll['data']['state'] == 'done', poll
    with host.env() as env:
        dishes = {line.product_id.link_id: (line.product_id.name, line.pick_code)
                  for line in env['sale.order'].browse(order_id).line_ids}
    return order_id, name, dishes


def sent_refunds(host):
    return [json.loads(entry['body']) for entry in host.inspect('requests/bodies')['requests']
            if entry['service'] == 'wechatpay' and entry['path'] == REFUNDS_PATH]


def pick_up_messages(host, code):
    return [message for message in host.inspect('wechat/messages')['messages']
            if message['data']['keyword3']['value'] == '[%s]' % code]


def test_staff_find_an_order_and_a_manager_refunds_an_eaten_dish(host, desktop_browser):
    browser = desktop_browser
    with host.env() as env:
        install_chinese(env)
        add_user(env, 'kfc_coupon_shop.group_kfc_staff', STAFF)
        add_user(env, 'kfc_coupon_shop.group_kfc_manager', MANAGER)
    order_id, name, dishes = picked_up_order(host)
    burger, code = dishes[BURGER]

    # Staff: the app opens on the counter, today's orders by the work they wait for; the card
    # of the order picked up shows its codes. In the list, the
    # customer's name finds the order, which shows its pick-up codes.
    log_in(browser, host.url, STAFF['login'], STAFF['password'])
    assert wait_for(browser, '.o_control_panel .breadcrumb-item')[0].text == '订单'
    wait_until(browser, lambda b: list(kanban_columns(b)) == COUNTER_COLUMNS,
               'the counter never showed its columns')
    [card] = [card for card in kanban_columns(browser)['取餐码已出'] if name in card]
    assert code in card, card
    screenshot(browser, 'counter')
    switch_view(browser, 'list')
    search(browser, NICKNAME, '顾客')
    wait_until(browser, lambda b: cells(b, LIST, 'name') == [name],
               'the search never listed %s alone' % name)
    screenshot(browser, 'orders')
    click_row(browser, LIST, name)
    wait_for(browser, LINES + ' .o_data_row')
    settled(browser)
    assert sorted(cells(browser, LINES, 'pick_code')) == sorted(c for _, c in dishes.values())
    screenshot(browser, 'order')

    # Staff send a lost pick-up message again.
    assert len(pick_up_messages(host, code)) == 1
    click_row(browser, LINES, code, 'button[name=action_kfc_resend_pick_message]')
    wait_until(browser, lambda b: len(pick_up_messages(host, code)) == 2,
               'the pick-up message was not sent again')
    assert 'Delete' not in action_menu(browser)         # Staff delete nothing

    # Manager: the app opens on the day at a glance, whose paid orders list the order; by its
    # number, the refund wizard, the burger eaten, with a reason.
    log_in(browser, host.url, MANAGER['login'], MANAGER['password'])
    assert wait_for(browser, '.o_control_panel .breadcrumb-item')[0].text == '今日概览'
    figures = wait_for(browser, '.o_kanban_view button[name=action_open_orders]')[0].text
    assert '今日已付订单' in figures, figures
    screenshot(browser, 'dashboard')
    wait_for(browser, '.o_kanban_view button[name=action_open_orders]')[0].click()
    wait_for(browser, LIST)
    search(browser, name, '订单号')
    wait_until(browser, lambda b: cells(b, LIST, 'name') == [name],
               'the search never listed %s alone' % name)
    click_row(browser, LIST, name)
    wait_for(browser, LINES + ' .o_data_row')

    # Manager: the paid order cannot be deleted, and the web client says why.
    assert 'Delete' in action_menu(browser)
    pick_action(browser, 'Delete')
    click_button(browser, '.modal-footer', 'Ok')
    refused = dialog_text(browser, '不能删除')
    assert name in refused and '订单已收款' in refused, refused
    screenshot(browser, 'delete-refused')
    click_button(browser, '.modal-footer', 'Ok')
    with host.env() as env:
        assert env['sale.order'].browse(order_id).exists()

    click_button(browser, '.o_form_statusbar', '退款')
    wait_for(browser, WIZARD + ' .o_data_row')
    assert cells(browser, WIZARD, 'detail_state') == ['已出取餐码', '已出取餐码']
    click_row(browser, WIZARD, burger, 'td[name=refund] input')
    wait_for(browser, WIZARD + ' div[name=reason] input')[0].send_keys(REASON)
    settled(browser)
    assert wait_for(browser, WIZARD + ' div[name=amount]')[0].text == '19.90'
    screenshot(browser, 'refund-wizard')
    click_button(browser, '.modal-footer', '退款')
    wait_until(browser, lambda b: not b.find_elements(By.CSS_SELECTOR, '.modal'),
               'the wizard never closed')

    with host.env() as env:
        order = env['sale.order'].browse(order_id)
        [refund] = order.refund_ids
        line = order.line_ids.filtered(lambda line: line.product_id.link_id == BURGER)
        assert (refund.line_ids, refund.reason, refund.state) == (line, REASON, 'draft')
        assert line.detail_state == 'success'           # eaten: the dish stays as it was
    wait_until(browser, lambda b: any(refund.name in text for text in notifications(b)),
               'no notification names the refund')
    [sent] = sent_refunds(host)
    assert (sent['out_refund_no'], sent['reason'], sent['amount']) == (
        refund.name, REASON, {'refund': 1990, 'total': 2980, 'currency': 'CNY'})
    [held] = host.inspect('wechatpay/payments')['refunds']
    assert (held['out_refund_no'], held['refund'], held['status']) == (
        refund.name, 1990, 'PROCESSING')

    # Once WeChat Pay has refunded, the list sums what is kept; the order lists who did what.
    host.control('wechatpay/refund', out_refund_no=refund.name)
    wait_until(browser, lambda b: refund_state(host, refund.id) == 'done',
               'the refund was never settled')
    wait_for(browser, '.breadcrumb-item a')[-1].click()         # back to the list, read again
    wait_until(browser, lambda b: cells(b, LIST, 'net_amount') == ['9.90'],
               'the list does not show the net amount')
    assert cells(browser, LIST, 'amount') == ['29.80']
    assert footer_sums(browser, LIST) == ['9.90']
    screenshot(browser, 'orders-net')
    click_row(browser, LIST, name)
    wait_for(browser, LINES + ' .o_data_row')
    click_tab(browser, '员工操作')
    wait_for(browser, EVENTS + ' .o_data_row')
    assert cells(browser, EVENTS, 'user_id') == [MANAGER['name'], STAFF['name']]
    assert cells(browser, EVENTS, 'kind') == ['退款', '重新发送取餐消息']
    assert cells(browser, EVENTS, 'why') == [REASON, '']
    screenshot(browser, 'order-events')
    assert not console_errors(browser)


def refund_state(host, refund_id):
    with host.env() as env:
        return env['sale.refund.order'].browse(refund_id).state
