"""A customer's orders in a real browser, read from what the page shows: coupons applied by
themselves and a paid dish paid in WeChat's sheet until the pick-up codes, a dish the kitchen
refuses and its refund, and no checkout outside the shop's hours."""
from selenium.webdriver.common.by import By

from page_browser import (assert_controls_usable, click, console_errors, kitchen_orders, log_in,
                          screenshot, set_clock, texts, wait_for, wait_until)

PHONE = '13800138000'
# The sandbox's payment sheet, which the sandbox's WeixinJSBridge lays over the page.
SHEET = '.wxpay-sheet'
REFUSAL = '[data-sandbox=pay-refused]'


def text_of(driver, selector):
    wait_for(driver, selector)
    return texts(driver, selector)[0]


def wait_text(driver, selector, expected):
    wait_until(driver, lambda b: expected in texts(b, selector),
               '%r never showed %r' % (selector, expected))


def dish(driver, name):
    """The menu's card or choice row of the dish ``name``."""
    rows = driver.find_elements(By.CSS_SELECTOR, '.choice, .dish:not(:has(.choice))')
    return next(row for row in rows
                if row.find_element(By.CSS_SELECTOR, '.choice-name, .dish-name').text == name)


def order_dishes(driver, names):
    """From the store list to the checkout with one unit of each dish."""
    click(driver, 'a.store')
    wait_for(driver, '.dish-name')
    for name in names:
        dish(driver, name).find_element(By.CSS_SELECTOR, 'button.more').click()
    click(driver, 'a.checkout-link')
    wait_for(driver, '.cart-item')
    phone = driver.find_element(By.NAME, 'phone')
    phone.clear()
    phone.send_keys(PHONE)


def confirm_in_sheet(driver, amount):
    wait_text(driver, '.wxpay-amount', amount)
    click(driver, SHEET + ' .wxpay-go', '确认支付')
    wait_text(driver, '.order-state', '出餐中')
    return text_of(driver, '.order-name')


def redeem(driver, code, coupon_name):
    [field] = wait_for(driver, '[name="code"]')     # once the view is drawn
    field.send_keys(code)
    field.submit()
    wait_text(driver, '.coupon-name', coupon_name)


# A choice's name on one line, its mark beside it, not over it.
CHOICE_LAYOUT = """
const row = arguments[0], name = row.querySelector('.choice-name').getBoundingClientRect();
const mark = row.querySelector('.coupon-mark').getBoundingClientRect();
return [name.height < 2 * parseFloat(getComputedStyle(row).lineHeight), mark.left >= name.right];
"""


def test_coupons_apply_themselves_and_the_rest_is_paid_until_the_pick_up_codes(host, browser):
    log_in(browser)
    click(browser, 'a.store')
    wait_for(browser, '.dish-name')
    assert not browser.find_elements(By.CSS_SELECTOR, '.coupon-mark')

    click(browser, 'a.bar-link', '兑换券')
    redeem(browser, 'RW2024HB0001', '汉堡三选一兑换券')     # any choice of the multi-choice dish
    redeem(browser, 'RW2024XL0001', '香辣鸡腿堡兑换券')     # its own dish
    assert_controls_usable(browser)
    browser.back()

    wait_for(browser, '.coupon-mark')
    assert texts(browser, '.choice:has(.coupon-mark) .choice-name') == ['香辣鸡腿堡', '劲脆鸡腿堡']
    for name in ('香辣鸡腿堡', '劲脆鸡腿堡', '老北京鸡肉卷'):
        dish(browser, name).find_element(By.CSS_SELECTOR, 'button.more').click()
    assert texts(browser, '.cart-count, .cart-total') == ['已选3件', '¥56.30']
    for row in browser.find_elements(By.CSS_SELECTOR, '.choice'):
        assert browser.execute_script(CHOICE_LAYOUT, row) == [True, True]
    click(browser, 'a.checkout-link')

    # each dish its own coupon first: the spicy burger's, so that the choice coupon is left
    # for the crispy one
    wait_for(browser, '.coupon-chip')
    assert texts(browser, '.cart-item:has(.coupon-chip.on) .item-name, .coupon-chip.on') == [
        '香辣鸡腿堡', '已使用 香辣鸡腿堡兑换券 RW2024XL0001',
        '劲脆鸡腿堡', '已使用 汉堡三选一兑换券 RW2024HB0001']
    assert texts(browser, '.summary dd') == ['¥56.30', '−¥39.80', '¥16.50']
    click(browser, '.coupon-chip.on', '已使用 汉堡三选一兑换券 RW2024HB0001')   # taken off, ...
    wait_text(browser, '.summary .due', '¥36.40')
    browser.find_element(By.CSS_SELECTOR, 'button.more[aria-label="添加老北京鸡肉卷"]').click()
    wait_text(browser, '.summary .due', '¥52.90')         # ... it stays off, ...
    browser.find_element(By.CSS_SELECTOR, 'button.less[aria-label="减少老北京鸡肉卷"]').click()
    click(browser, '.cart-item:nth-child(2) .coupon-chip', '使用 汉堡三选一兑换券 RW2024HB0001')
    wait_text(browser, '.summary .due', '¥16.50')         # ... until put back
    browser.find_element(By.NAME, 'phone').send_keys(PHONE)
    assert_controls_usable(browser)
    screenshot(browser, 'checkout')
    click(browser, 'button.submit', '微信支付 ¥16.50')

    wait_text(browser, '.wxpay-amount', '¥16.50')
    assert text_of(browser, '.wxpay-merchant') == host.sandbox.config.merchant_name
    screenshot(browser, 'pay-sheet')
    order_name = confirm_in_sheet(browser, '¥16.50')
    assert browser.current_url.split('#')[1].startswith('/order/')
    assert texts(browser, '.order-line .item-name') == ['香辣鸡腿堡', '劲脆鸡腿堡', '老北京鸡肉卷']
    # "待下单" until the dispatcher has handed the dishes over and the page polled again
    wait_until(browser, lambda b: texts(b, '.line-remark') == ['出餐中，请稍候'] * 3,
               'the dishes never reached the kitchen')
    assert texts(browser, '.order-line :is(.coupon-mark, .item-price)') == ['兑换券', '兑换券', '¥16.50']

    uuids = kitchen_orders(host, order_name)
    assert len(uuids) == 3
    for uuid in uuids:
        host.control('coupon/finish', uuid=uuid)
    wait_text(browser, '.order-state', '已完成')
    codes = texts(browser, '.pick-code')
    assert len(codes) == 3 and all(code.startswith('A') for code in codes)
    assert texts(browser, '.line-remark') == ['已出餐，请凭取餐码取餐'] * 3
    assert_controls_usable(browser)
    screenshot(browser, 'pick-up-codes')

    click(browser, '.tab', '订单')
    wait_text(browser, '.order-dishes', '香辣鸡腿堡 等3件')      # its first dish
    assert texts(browser, '.order-card .badge') == ['已完成']
    assert texts(browser, '.order-card .order-amount') == ['¥16.50']
    assert_controls_usable(browser)
    screenshot(browser, 'orders')
    assert console_errors(browser) == []


# Changes a signed field of the next payment's parameters, as a tampering page would.
TAMPER_NEXT_PAYMENT = '''
const bridge = window.WeixinJSBridge, invoke = bridge.invoke;
bridge.invoke = (name, params, callback) => {
    bridge.invoke = invoke;
    invoke.call(bridge, name, {...params, nonceStr: params.nonceStr + '0'}, callback);
};
'''


def test_a_dish_the_kitchen_refuses_shows_in_the_order_and_its_refund_in_the_amount(host, browser):
    log_in(browser)
    order_dishes(browser, ['老北京鸡肉卷', '薯条(中)'])
    browser.execute_script(TAMPER_NEXT_PAYMENT)
    click(browser, 'button.submit', '微信支付 ¥28.50')

    # WeChat refuses parameters that are not the ones signed: the sheet says so
    refusal = wait_until(browser, lambda b: b.find_elements(By.CSS_SELECTOR, REFUSAL),
                         'no refusal shown')[0]
    assert '支付验证签名失败' in refusal.text
    refusal.find_element(By.CSS_SELECTOR, 'button').click()
    wait_text(browser, '.pay .notice-error', '支付未完成：支付验证签名失败')
    assert text_of(browser, '.order-state') == '待支付'

    # closing the sheet leaves the order unpaid, with the way to pay again
    click(browser, 'button.pay-again', '继续支付')
    click(browser, SHEET + ' .wxpay-close')
    wait_text(browser, '.pay .notice', '你已取消支付，订单仍待支付')
    assert text_of(browser, '.order-state') == '待支付'

    click(browser, 'button.pay-again', '继续支付')
    order_name = confirm_in_sheet(browser, '¥28.50')
    wrap, fries = kitchen_orders(host, order_name)
    host.control('coupon/fail', uuid=wrap)
    host.control('coupon/finish', uuid=fries)
    wait_text(browser, '.order-state', '部分出餐失败')
    assert texts(browser, '.order-failed li') == ['老北京鸡肉卷：退款处理中']
    assert texts(browser, '.order-line.failed .line-remark') == [
        '出餐失败，退款处理中（门店繁忙，出餐失败）']
    assert len(texts(browser, '.pick-code')) == 1

    # once the refund went through, the order tells it and what was paid net of it
    [refund] = host.inspect('wechatpay/payments')['refunds']
    host.control('wechatpay/refund', out_refund_no=refund['out_refund_no'])
    click(browser, '.tab', '订单')
    wait_text(browser, '.order-card .order-failed', '老北京鸡肉卷：已退款')
    assert texts(browser, '.order-card .order-amount') == ['¥12.00']
    click(browser, 'a.order-card')
    wait_text(browser, '.order-failed li', '老北京鸡肉卷：已退款')
    assert texts(browser, '.order-info dd')[-3:] == ['¥28.50', '−¥16.50', '¥12.00']
    assert_controls_usable(browser)
    screenshot(browser, 'refused-dish')
    assert console_errors(browser) == []


def test_outside_the_shop_hours_the_page_says_so_and_takes_no_order(host, browser):
    set_clock(browser, '01:20')
    log_in(browser)
    closed = '现在不在点餐时间，每日09:30-23:59可下单'
    assert texts(browser, '.closed-notice') == [closed]
    click(browser, 'a.store')
    wait_for(browser, '.dish-name')
    assert texts(browser, '.closed-notice') == [closed]
    dish(browser, '老北京鸡肉卷').find_element(By.CSS_SELECTOR, 'button.more').click()
    assert texts(browser, '.checkout-link') == ['暂停点餐']
    browser.get(browser.current_url.split('#')[0] + '#/checkout')     # the address typed
    wait_for(browser, '.cart-item')
    assert texts(browser, '.checkout .notice-error') == [closed]
    assert not browser.find_element(By.CSS_SELECTOR, 'button.submit').is_enabled()
    assert_controls_usable(browser)
    screenshot(browser, 'closed')
    assert console_errors(browser) == []
