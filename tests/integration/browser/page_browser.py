"""Reading and waiting on the customer's page in Chromium (see conftest.py for the browser)."""
import os

from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

from odoo.addons.kfc_coupon_shop.controllers.page import page_url

PAGE_URL = page_url()
WAIT_SECONDS = 20


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
    return [element.text for element in driver.find_elements(By.CSS_SELECTOR, selector)]


def console_errors(driver):
    return [entry['message'] for entry in driver.get_log('browser') if entry['level'] == 'SEVERE']


def screenshot(driver, name):
    folder = os.environ.get('KFC_SCREENSHOTS')
    if folder:
        os.makedirs(folder, exist_ok=True)
        driver.save_screenshot(os.path.join(folder, name + '.png'))
