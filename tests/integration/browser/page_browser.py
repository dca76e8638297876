"""Reading and waiting on the customer's page in Chromium (see conftest.py for the browser)."""
import datetime
import os
import re

from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

from odoo.addons.kfc_coupon_shop.controllers.page import page_url

PAGE_URL = page_url()
WAIT_SECONDS = 20
CHINA = datetime.timezone(datetime.timedelta(hours=8))      # no daylight saving

# Each document loaded from then on starts its Date at the instant given (the last one set).
SHIFT_CLOCK = """(() => {
    const Real = window.RealDate = window.RealDate || Date;
    const shift = %d - Real.now();
    window.Date = class extends Real {
        constructor(...args) { super(...(args.length ? args : [Real.now() + shift])); }
        static now() { return Real.now() + shift; }
    };
})();"""


def set_clock(driver, china_time):
    """The page's clock: each page loaded from now on starts at today's ``china_time``
    ("12:00") in China and runs on from there."""
    hour, minute = map(int, china_time.split(':'))
    moment = datetime.datetime.now(CHINA).replace(hour=hour, minute=minute, second=0)
    script = SHIFT_CLOCK % int(moment.timestamp() * 1000)
    driver.execute_cdp_cmd('Page.addScriptToEvaluateOnNewDocument', {'source': script})


def wait_for(driver, selector, seconds=WAIT_SECONDS):
    """The elements matching ``selector`` once there is one; an error shown meanwhile fails."""
    def found(driver):
        elements = driver.find_elements(By.CSS_SELECTOR, selector)
        if not elements:
            shown = driver.find_elements(By.CSS_SELECTOR, '.state-error, [data-sandbox]')
            assert not shown, 'the page shows an error: %s' % shown[0].text
        return elements
    return WebDriverWait(driver, seconds).until(found, 'nothing matches %r' % selector)


def wait_until(driver, condition, message, seconds=WAIT_SECONDS):
    return WebDriverWait(driver, seconds).until(lambda driver: condition(driver), message)


def texts(driver, selector):
    """The shown texts of the elements matching ``selector``, read at one moment (the page
    redraws a view while it polls)."""
    return driver.execute_script(
        'return Array.from(document.querySelectorAll(arguments[0]), (e) => e.innerText.trim())',
        selector)


def console_errors(driver):
    return [entry['message'] for entry in driver.get_log('browser') if entry['level'] == 'SEVERE']


def click(driver, selector, text=None):
    """Clicks the first element matching ``selector`` (and showing ``text``) once there is one."""
    def found(driver):
        return next((element for element in wait_for(driver, selector)
                     if text is None or element.text == text), None)
    element = wait_until(driver, found, 'no %r showing %r' % (selector, text))
    element.click()
    return element


def log_in(driver):
    """Opens the page and consents in the sandbox's WeChat; the stores near the customer show."""
    driver.get(PAGE_URL)
    click(driver, 'button.allow')
    wait_for(driver, '.store-name')


def kitchen_orders(host, order_name):
    """The uuids of the back-end orders the kitchen holds for the order's dishes, in the
    order's line order (the dispatcher hands them over side by side), once every queued dish
    was handed over."""
    host.await_kitchen()
    prefix = order_name + 'L'
    entries = [(int(entry['entry']['orderno'][len(prefix):]), entry['uuid'])
               for entry in host.inspect('coupon/orders')['orders']
               if str(entry['entry'].get('orderno', '')).startswith(prefix)]
    return [uuid for _line, uuid in sorted(entries)]


LEAKED = re.compile(r'\b(null|undefined|NaN)\b|\[object ')


def screenshot(driver, name):
    """A step worth a picture: it shows no value of the script's leaking as text ("null"),
    and with KFC_SCREENSHOTS=DIR its picture is kept as DIR/name.png."""
    shown = driver.execute_script('return document.body.innerText')
    assert not LEAKED.search(shown), 'the page shows %r' % LEAKED.search(shown).group()
    folder = os.environ.get('KFC_SCREENSHOTS')
    if folder:
        os.makedirs(folder, exist_ok=True)
        driver.save_screenshot(os.path.join(folder, name + '.png'))


# Each control shown: what a screen reader names it, and the box a finger can tap (a wrapping
# label's when larger, as tapping it works the control).
CONTROLS = """
const controls = 'a[href], button, input:not([type=hidden]), select, textarea, [role=button]';
return Array.from(document.querySelectorAll(controls)).flatMap((control) => {
    const box = control.getBoundingClientRect();
    if (!box.width || control.closest('[aria-hidden=true]')) return [];
    const field = control.matches('input, select, textarea');
    const name = control.getAttribute('aria-label') || control.title || (field
        ? Array.from(control.labels, (label) => label.innerText).join(' ') : control.innerText);
    const wrapper = control.closest('label')?.getBoundingClientRect() || box;
    return [{control: control.outerHTML.slice(0, 80), named: name.trim() !== '',
             width: Math.max(box.width, wrapper.width),
             height: Math.max(box.height, wrapper.height)}];
});"""
TAP_TARGET_PX = 44


def assert_controls_usable(driver):
    """Every control shown has a text label and a tap target at least 44 px each way."""
    controls = driver.execute_script(CONTROLS)
    assert controls, 'no control shown'
    faults = [control for control in controls if not control['named']
              or min(control['width'], control['height']) < TAP_TARGET_PX - 0.5]
    assert not faults, 'unlabelled or smaller than 44 px: %s' % faults
