"""A customer's orders in a real browser, read from what the page shows: a coupon and a paid
dish paid in WeChat's sheet until the pick-up codes, and a dish the kitchen refuses."""
from selenium.webdriver.common.by import By

from page_browser import (click, console_errors, kitchen_orders, log_in, screenshot, texts,
                          wait_for, wait_until)

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


def test_a_coupon_dish_and_a_paid_dish_are_paid_and_picked_up(host, browser):
    log_in(browser)
    click(browser, 'a.store')
    wait_for(browser, '.dish-name')
    assert not browser.find_elements(By.CSS_SELECTOR, '.coupon-mark')

    click(browser, 'a.bar-link', '兑换券')
    [code] = wait_for(browser, '[name="code"]')     # once the view is drawn
    code.send_keys('RW2024HB0001')      # a coupon for the multi-choice burger
    code.submit()
    wait_text(browser, '.coupon-name', '汉堡三选一兑换券')
    browser.back()

    # the coupon pays for any choice of its multi-choice dish, for nothing else
    wait_for(browser, '.coupon-mark')
    assert texts(browser, '.choice:has(.coupon-mark) .choice-name') == ['香辣鸡腿堡', '劲脆鸡腿堡']
    assert len(texts(browser, '.coupon-mark')) == 2
    for name in ('劲脆鸡腿堡', '老北京鸡肉卷'):
        dish(browser, name).find_element(By.CSS_SELECTOR, 'button.more').click()
    assert texts(browser, '.cart-count, .cart-total') == ['已选2件', '¥36.40']
    click(browser, 'a.checkout-link')

    wait_for(browser, '.cart-item')
    assert texts(browser, '.item-name') == ['劲脆鸡腿堡', '老北京鸡肉卷']
    chips = browser.find_elements(By.CSS_SELECTOR, '.coupon-chip')
    assert [chip.text for chip in chips] == ['使用 汉堡三选一兑换券 RW2024HB0001']
    chips[0].click()
    wait_text(browser, '.summary .due', '¥16.50')
    assert texts(browser, '.summary dd') == ['¥36.40', '−¥19.90', '¥16.50']
    browser.find_element(By.NAME, 'phone').send_keys(PHONE)
    screenshot(browser, 'checkout')
    click(browser, 'button.submit', '微信支付 ¥16.50')

    wait_text(browser, '.wxpay-amount', '¥16.50')
    assert text_of(browser, '.wxpay-merchant') == host.sandbox.config.merchant_name
    screenshot(browser, 'pay-sheet')
    order_name = confirm_in_sheet(browser, '¥16.50')
    assert browser.current_url.split('#')[1].startswith('/order/')
    assert texts(browser, '.order-line .item-name') == ['劲脆鸡腿堡', '老北京鸡肉卷']   # the choice picked
    assert texts(browser, '.line-remark') == ['出餐中，请稍候'] * 2
    assert texts(browser, '.order-line :is(.coupon-mark, .item-price)') == ['兑换券', '¥16.50']

    uuids = kitchen_orders(host, order_name)
    assert len(uuids) == 2
    for uuid in uuids:
        host.control('coupon/finish', uuid=uuid)
    wait_text(browser, '.order-state', '已完成')
    codes = texts(browser, '.pick-code')
    assert len(codes) == 2 and all(code.startswith('A') for code in codes)
    assert texts(browser, '.line-remark') == ['已出餐，请凭取餐码取餐'] * 2
    screenshot(browser, 'pick-up-codes')

    click(browser, '.tab', '订单')
    wait_for(browser, '.order-card')
    assert texts(browser, '.order-card .badge') == ['已完成']
    assert texts(browser, '.order-card .order-amount') == ['¥16.50']
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


def test_a_dish_the_kitchen_refuses_shows_its_failure_and_refund(host, browser):
    log_in(browser)
    order_dishes(browser, ['老北京鸡肉卷'])
    browser.execute_script(TAMPER_NEXT_PAYMENT)
    click(browser, 'button.submit', '微信支付 ¥16.50')

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
    order_name = confirm_in_sheet(browser, '¥16.50')
    [uuid] = kitchen_orders(host, order_name)
    host.control('coupon/fail', uuid=uuid)
    wait_text(browser, '.order-state', '出餐失败')
    assert texts(browser, '.order-line.failed .line-remark') == [
        '出餐失败，退款处理中（门店繁忙，出餐失败）']
    assert not browser.find_elements(By.CSS_SELECTOR, '.pick-code')
    screenshot(browser, 'refused-dish')
    assert console_errors(browser) == []
