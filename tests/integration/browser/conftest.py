"""Headless Chromium for the page's tests, on either platform: Debian's chromium and
chromedriver driven by selenium (nothing is downloaded), a phone's screen, and the page's site
mapped onto the host under test, so that the browser opens the very address the JS-SDK
configuration is signed for.

    browser.get(PAGE_URL)              # reaches ``host``, whatever port it listens on

``desktop_browser`` is a Chromium with a desktop's window, for Odoo's web client.

The helpers that read the page are in page_browser.py.
"""
import os
from urllib.parse import urlsplit

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service

from page_browser import PAGE_URL, set_clock

CHROMIUM = '/usr/bin/chromium'
CHROMEDRIVER = '/usr/bin/chromedriver'
PHONE = {'width': 390, 'height': 844, 'pixelRatio': 1}
DESKTOP = (1280, 1000)
STAFF_TIME_ZONE = 'Asia/Shanghai'    # Odoo's web client shows times in the browser's zone


def start_chromium(host_rules=None, window=None, time_zone=None):
    """A phone's screen, or a desktop's ``window`` (width, height)."""
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'):
        options.add_argument(argument)
    if host_rules:
        options.add_argument('--host-resolver-rules=' + host_rules)
    if window:
        options.add_argument('--window-size=%d,%d' % window)
    else:
        options.add_experimental_option('mobileEmulation', {'deviceMetrics': PHONE})
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    environment = dict(os.environ, TZ=time_zone) if time_zone else None
    return webdriver.Chrome(service=Service(CHROMEDRIVER, env=environment), options=options)


def require_chromium():
    if not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
        pytest.skip('headless Chromium is not installed (apt-get install chromium chromium-driver)')


@pytest.fixture
def desktop_browser():
    """A Chromium with a desktop's window, for Odoo's web client."""
    require_chromium()
    driver = start_chromium(window=DESKTOP, time_zone=STAFF_TIME_ZONE)
    try:
        yield driver
    finally:
        driver.quit()


@pytest.fixture
def browser(host):
    """A Chromium whose requests for the page's site go to ``host``; the page's clock says
    noon in China, within the shop's hours, whenever the test runs."""
    require_chromium()
    page_site = urlsplit(PAGE_URL).netloc
    driver = start_chromium('MAP %s %s' % (page_site, urlsplit(host.url).netloc))
    try:
        set_clock(driver, '12:00')
        yield driver
    finally:
        driver.quit()
