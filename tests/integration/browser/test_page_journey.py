"""A customer's first visit, in a real browser: WeChat's consent, the city where she stands,
a store found by keyword, its menu, another city's stores, a menu opened by its address; the
stores near where she was last found while WeChat finds her again; and what a client over its
budget of city lookups reads."""
from selenium.webdriver.common.by import By

from odoo.addons.kfc_coupon_shop.services.limits import LIMIT_OF_ROUTE

from page_browser import (PAGE_URL, assert_controls_usable, click, console_errors, log_in,
                          screenshot, texts, wait_for, wait_until)

NANJING_ROAD = {'latitude': 31.2364, 'longitude': 121.4791}     # by the store SH3001
WANGFUJING = {'latitude': 39.9139, 'longitude': 116.4103}       # by the store BJ1001
MARKUP = '<img src=x onerror=alert(1)>'


def test_a_customer_logs_in_and_finds_a_store_and_its_menu(host, browser):
    host.control('wechat/location', **NANJING_ROAD)
    with host.env() as env:     # a dish on sale, named as an attacker would name it
        env['kfc.product'].search([('link_id', '=', 'S2002')]).write({'name': MARKUP})

    browser.get(PAGE_URL)
    wait_until(browser, lambda b: '/connect/oauth2/authorize?' in b.current_url,
               'not sent to WeChat')
    assert 'scope=snsapi_userinfo' in browser.current_url and 'state=' in browser.current_url
    browser.find_element(By.CSS_SELECTOR, 'button.allow').click()

    assert wait_for(browser, '.here .city')[0].text == '上海市'
    assert browser.current_url == PAGE_URL          # "code" and "state" gone
    assert wait_for(browser, '.store-name')[0].text == '南京东路店'
    assert browser.execute_script(    # the phone keeps only where she was found, for a while
        'return [sessionStorage.getItem("kfc.token") !== null, Object.keys(localStorage)]'
    ) == [True, ['kfc.position']]
    assert_controls_usable(browser)

    search = browser.find_element(By.NAME, 'keyword')
    search.send_keys('徐家汇')
    search.submit()
    wait_until(browser, lambda b: '徐家汇' in b.find_element(By.CSS_SELECTOR, '.section-title').text,
               'no search result')
    assert texts(browser, '.store-name') == ['徐家汇店']
    browser.find_element(By.CSS_SELECTOR, 'a.store').click()

    wait_for(browser, '.dish-name')
    assert browser.current_url == PAGE_URL + '#/menu/SH3002'
    assert texts(browser, '.bar h1') == ['徐家汇店']
    assert texts(browser, '.category-tab') == ['超值汉堡', '小食', '饮品']
    dishes = {card.find_element(By.CSS_SELECTOR, '.dish-name').text: card
              for card in browser.find_elements(By.CSS_SELECTOR, '.dish')}
    assert dishes['老北京鸡肉卷'].find_element(By.CSS_SELECTOR, '.price').text == '¥16.50'
    assert MARKUP in dishes                         # shown as text, not made an element
    assert not browser.find_elements(By.CSS_SELECTOR, 'img[src="x"]')
    choices = dishes['汉堡三选一'].find_elements(By.CSS_SELECTOR, '.choice-name')
    assert [choice.text for choice in choices] == ['香辣鸡腿堡', '劲脆鸡腿堡']   # the third is off sale
    image = dishes['老北京鸡肉卷'].find_element(By.CSS_SELECTOR, 'img.dish-image')
    wait_until(browser, lambda b: b.execute_script('return arguments[0].naturalWidth', image) > 0,
               'the dish image did not load')
    assert image.get_attribute('src').startswith(host.sandbox.url + '/menu/')
    assert_controls_usable(browser)
    screenshot(browser, 'menu')

    browser.back()
    assert wait_for(browser, '.here .city')[0].text == '上海市'
    assert texts(browser, '.notice.hours') == ['点餐时间 每日09:30-23:59']

    # a city picked lists its stores; an empty search too, one that finds none says so
    click(browser, 'a.city-pick')
    wait_for(browser, 'button.city-option')
    assert_controls_usable(browser)
    click(browser, 'button.city-option', '北京')
    wait_text(browser, '.section-title', '北京的门店')
    assert texts(browser, '.store-name') == ['王府井店', '中关村店', '西单店']
    search = browser.find_element(By.NAME, 'keyword')
    search.send_keys('西单')
    search.submit()
    wait_text(browser, '.section-title', '“西单”的搜索结果')
    search.clear()
    search.submit()
    wait_text(browser, '.section-title', '北京的门店')
    search.send_keys('徐家汇')
    search.submit()
    wait_text(browser, '.state-empty', '没有找到与“徐家汇”相关的门店')

    # a menu opened by its address shows the dishes only, and says where ordering starts
    browser.get(PAGE_URL + '#/menu/SH3001')
    wait_for(browser, '.dish-name')
    assert not browser.find_elements(By.CSS_SELECTOR, '.stepper, .cart-bar')
    assert texts(browser, '.read-only') == ['仅供浏览：请从门店列表选择本店后点餐去选择门店']
    click(browser, '.read-only button')
    wait_text(browser, '.section-title', '北京的门店')
    assert console_errors(browser) == []


def wait_text(driver, selector, expected):
    wait_until(driver, lambda b: expected in texts(b, selector),
               '%r never showed %r' % (selector, expected))


def test_a_customer_who_moved_sees_the_stores_where_she_is_once_found(host, browser):
    host.control('wechat/location', **NANJING_ROAD)
    log_in(browser)
    host.control('wechat/location', **WANGFUJING)
    host.control('fault', service='wechat_client', mode='hang', seconds=3, path='/jssdk/location',
                 times=1)
    browser.refresh()
    # while WeChat looks for her: the stores near where she was found minutes ago
    assert wait_for(browser, '.store-name')[0].text == '南京东路店'
    wait_text(browser, '.here .city', '北京市')
    assert texts(browser, '.store-name')[0] == '王府井店'


def test_a_client_over_its_budget_reads_why(host, browser):
    # the browser's address has spent its city lookups: the page says so, not "service down"
    lookups = 2 + LIMIT_OF_ROUTE['/api/post_city_name'].burst
    assert [host.post('post_city_name', data={'lat': '31.2364', 'lng': '121.4791'}).status_code
            for _ in range(lookups)][-1] == 429
    browser.get(PAGE_URL)
    click(browser, 'button.allow')
    wait_until(browser, lambda b: '请求过于频繁，请稍后再试' in texts(b, '.state-error p'),
               'the refusal is not shown')
