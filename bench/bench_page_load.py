"""The customer's page loaded in headless Chromium on a phone's network, first visit and again.

A host (the stand-in, or Odoo 16 with --platform odoo16) serves the demo shop with the sandbox
as its outside world; Chromium opens the page's own address mapped onto it, with the CPU
throttled 4x and DevTools' network emulation at 150 ms round trip, 1.6 Mbit/s down and
750 kbit/s up. A first load logs the customer in through the sandbox's WeChat consent (timed
apart: the redirect there and back, the login's round trips) and leaves the host warm. Then,
the token in the tab's session, the page is loaded with an empty HTTP cache and once more with
the cache of that load: each time from the navigation to the stores list (a ".store-name"),
and from there, through the first store's link (#/menu/<store code>), to the rendered menu
(a ".dish-name"), with the bytes and requests of the page (its document, code and styles, API
replies), of WeChat and of the image host apart.

Goals: the menu within 2.5 s of the navigation on a first visit, within 1.5 s on a second;
the page's code and styles under 30 KB compressed on a first visit, under 5 KB on a second.
The add-on gzips the page and its files for a client that takes it; the size given is what it
sends (a file it sends uncompressed is counted as gzip makes it, as a proxy in front would).

    .venv/bin/python bench/bench_page_load.py [--platform standin|odoo16]
"""
import argparse
import collections
import contextlib
import gzip
import json
import logging
import os
import shutil
import sys
import tempfile
import time
from urllib.parse import urlsplit

import requests
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

from kfchost import addon, http

addon.import_addon()    # the stand-in answers the add-on's imports from odoo
from kfchost.app import create_app  # noqa: E402
from kfcsandbox.config import SandboxConfig  # noqa: E402
from kfcsandbox.server import SandboxServer  # noqa: E402
from odoo.addons.kfc_coupon_shop.controllers.page import page_url  # noqa: E402
from odoo.addons.kfc_coupon_shop.services.deployment import read_deployment  # noqa: E402
from odoo16harness.platform import Odoo16Platform  # noqa: E402

CHROMIUM = '/usr/bin/chromium'
CHROMEDRIVER = '/usr/bin/chromedriver'
PHONE = {'width': 390, 'height': 844, 'pixelRatio': 2}
NETWORK = {'offline': False, 'latency': 150, 'downloadThroughput': 1.6e6 / 8,
           'uploadThroughput': 750e3 / 8}
CPU_SLOWDOWN = 4
MENU_GOALS = {'first visit': 2.5, 'second visit': 1.5}           # seconds from navigation
CODE_GOALS = {'first visit': 30 * 1024, 'second visit': 5 * 1024}  # bytes compressed
WAIT_SECONDS = 60

# Marks, on the page's clock (ms since navigation), the first stores list, then follows the
# first store's link and marks the first rendered menu.
MARKERS = """(() => {
    const marks = window.benchMarks = {};
    new MutationObserver(() => {
        if (!marks.stores && document.querySelector('.store-name')) {
            marks.stores = performance.now();
            document.querySelector('a.store').click();
        } else if (marks.stores && !marks.menu && document.querySelector('.dish-name')) {
            marks.menu = performance.now();
        }
    }).observe(document, {childList: true, subtree: true});
})();"""



def start_chromium(page_site, host_site):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
                     '--host-resolver-rules=MAP %s %s' % (page_site, host_site)):
        options.add_argument(argument)
    options.add_experimental_option('mobileEmulation', {'deviceMetrics': PHONE})
    options.set_capability('goog:loggingPrefs', {'performance': 'ALL'})    # DevTools' events
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.execute_cdp_cmd('Network.enable', {})
    driver.execute_cdp_cmd('Network.emulateNetworkConditions', NETWORK)
    driver.execute_cdp_cmd('Emulation.setCPUThrottlingRate', {'rate': CPU_SLOWDOWN})
    driver.execute_cdp_cmd('Page.addScriptToEvaluateOnNewDocument', {'source': MARKERS})
    return driver


def wait_for(driver, selector):
    return WebDriverWait(driver, WAIT_SECONDS).until(
        lambda d: d.find_elements(By.CSS_SELECTOR, selector), 'nothing matches %r' % selector)


def log_in(driver, page):
    """The first load: the consent in the sandbox's WeChat and back; seconds of each leg."""
    started = time.monotonic()
    driver.get(page)
    wait_for(driver, 'button.allow')
    at_consent = time.monotonic()
    driver.find_element(By.CSS_SELECTOR, 'button.allow').click()
    WebDriverWait(driver, WAIT_SECONDS).until(
        lambda d: d.execute_script('return window.benchMarks && window.benchMarks.stores'),
        'the stores list never showed')
    return {'to the consent page': at_consent - started,
            'consent to the stores list': time.monotonic() - at_consent}


def visit(driver, page, empty_cache):
    """One load of the page with the token already held: marks and requests."""
    driver.get('about:blank')               # nothing of the last load comes in any more
    if empty_cache:
        driver.execute_cdp_cmd('Network.clearBrowserCache', {})
    network_events(driver)                  # only this load's from here
    driver.get(page)
    WebDriverWait(driver, WAIT_SECONDS).until(
        lambda d: d.execute_script('return window.benchMarks && window.benchMarks.menu'),
        'the menu never rendered')
    time.sleep(1)                           # the images still coming in
    marks = driver.execute_script('return window.benchMarks')
    return marks, network_events(driver)


Request = collections.namedtuple('Request', 'url kind received sent finished')


def network_events(driver):
    """The requests since the last call, in the order they were sent: Request(url, resource
    type, bytes received or None when the cache answered it, seconds from the first request
    to this one's start and to its end)."""
    requests_by_id, received, finished, cached = {}, {}, {}, set()
    for entry in driver.get_log('performance'):
        message = json.loads(entry['message'])['message']
        method, params = message['method'], message.get('params', {})
        if method == 'Network.requestWillBeSent':
            requests_by_id.setdefault(params['requestId'], (
                params['request']['url'], params.get('type'), params['timestamp']))
        elif method == 'Network.requestServedFromCache':
            cached.add(params['requestId'])
        elif method in ('Network.loadingFinished', 'Network.loadingFailed'):
            received[params['requestId']] = params.get('encodedDataLength', 0)
            finished[params['requestId']] = params['timestamp']
    sent = [(request_id, url, kind, start) for request_id, (url, kind, start)
            in requests_by_id.items() if url.startswith('http')]
    origin = min((start for *_, start in sent), default=0)
    return [Request(url, kind, received.get(request_id) if request_id not in cached else None,
                    start - origin, finished.get(request_id, start) - origin)
            for request_id, url, kind, start in sorted(sent, key=lambda item: item[3])]


def gzipped(url, host_url, cache):
    """The size of the body the page's site sends at ``url`` to a client taking gzip, or of
    its gzip (as a proxy in front makes it) where the host sends it uncompressed."""
    if url not in cache:
        parts = urlsplit(url)
        reply = requests.get(host_url + parts.path, headers={
            'Host': parts.netloc, 'Accept-Encoding': 'gzip'}, timeout=30, stream=True)
        body = reply.raw.read(decode_content=False)
        if reply.headers.get('Content-Encoding') != 'gzip':
            body = gzip.compress(body, 6)
        cache[url] = len(body)
    return cache[url]


def tally(events, page, host_url, cache):
    """Requests and bytes by kind: the page's code and styles, its API, WeChat, the images."""
    page_origin = page.rstrip('/')
    kinds = {}
    for url, resource, received, *_ in events:
        if url.startswith(page_origin) and resource in ('Document', 'Script', 'Stylesheet'):
            kind = 'code and styles'
        elif url.startswith(page_origin):
            kind = 'API'
        elif resource == 'Image':
            kind = 'images'
        else:
            kind = 'WeChat'
        figures = kinds.setdefault(kind, {'requests': 0, 'cached': 0, 'bytes': 0, 'gzip': 0})
        if not received:            # the cache answered (a memory cache hit moves 0 bytes)
            figures['cached'] += 1
            continue
        figures['requests'] += 1
        figures['bytes'] += received
        if kind == 'code and styles':
            figures['gzip'] += gzipped(url, host_url, cache)
    return kinds


@contextlib.contextmanager
def stand_in(sandbox, work):
    server = http.start_server(None)
    url = 'http://127.0.0.1:%d' % server.server_port
    app = create_app(os.path.join(work, 'bench.sqlite3'),
                     sandbox.config.addon_section(os.path.join(work, 'keys'), url, sandbox.url),
                     demo=True)
    server.app = app
    try:
        yield url
    finally:
        http.stop_server(server)
        app.registry.close()


@contextlib.contextmanager
def odoo16(sandbox, work):
    def sections(url):
        return {'kfc_coupon_shop': sandbox.config.addon_section(os.path.join(work, 'keys'), url,
                                                                sandbox.url)}
    odoo = Odoo16Platform.prepare().start()
    try:
        template = odoo.template(['kfc_coupon_shop'], demo=True,
                                 sections=sections('http://127.0.0.1'))
        with odoo.server(odoo.database(template), sections=sections) as server:
            yield server.url
    finally:
        odoo.stop()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--platform', choices=('standin', 'odoo16'), default='standin')
    parser.add_argument('--waterfall', action='store_true',
                        help="print each visit's requests with their start and end")
    args = parser.parse_args(argv)
    if not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
        print('bench_page_load: needs chromium and chromium-driver')
        return 1
    if args.platform == 'odoo16' and not os.environ.get('ODOO16_SRC'):
        print('bench_page_load: set ODOO16_SRC (an Odoo 16 tree or its tarball)')
        return 1
    logging.getLogger('werkzeug').setLevel(logging.WARNING)
    deployment = read_deployment()
    page = page_url()
    work = tempfile.mkdtemp(prefix='rw-bench-page-')
    host = stand_in if args.platform == 'standin' else odoo16
    try:
        with SandboxServer(SandboxConfig.from_deployment(deployment)) as sandbox, \
                host(sandbox, work) as host_url:
            driver = start_chromium(urlsplit(page).netloc, urlsplit(host_url).netloc)
            try:
                login = log_in(driver, page)
                visits = {'first visit': visit(driver, page, empty_cache=True),
                          'second visit': visit(driver, page, empty_cache=False)}
            finally:
                driver.quit()
            cache = {}
            tallies = {label: tally(events, page, host_url, cache)
                       for label, (_, events) in visits.items()}
    finally:
        shutil.rmtree(work, ignore_errors=True)
    met = report(args.platform, login, visits, tallies)
    if args.waterfall:
        for label, (_, events) in visits.items():
            print_waterfall(label, events)
    return 0 if met else 1


def report(platform, login, visits, tallies):
    print('%s on %s: CPU %dx slower, %d ms round trip, %.1f Mbit/s down, %d kbit/s up'
          % (os.path.basename(__file__), platform, CPU_SLOWDOWN, NETWORK['latency'],
             NETWORK['downloadThroughput'] * 8 / 1e6, NETWORK['uploadThroughput'] * 8 / 1e3))
    print('  login: %s' % ', '.join('%s %.2f s' % item for item in login.items()))
    met = True
    for label, (marks, _) in visits.items():
        code = tallies[label].get('code and styles', {'gzip': 0})
        menu = marks['menu'] / 1000
        met &= menu <= MENU_GOALS[label] and code['gzip'] <= CODE_GOALS[label]
        print('  %s: stores list %.2f s, then the menu %.2f s later: %.2f s from navigation '
              '(goal %.1f s)' % (label, marks['stores'] / 1000, menu - marks['stores'] / 1000,
                                 menu, MENU_GOALS[label]))
        for kind, figures in sorted(tallies[label].items()):
            extra = ''
            if kind == 'code and styles':
                extra = ', %.1f KB gzipped (goal %d KB)' % (figures['gzip'] / 1024,
                                                            CODE_GOALS[label] / 1024)
            print('    %-16s %3d requests, %7.1f KB over the wire, %d from the cache%s'
                  % (kind, figures['requests'], figures['bytes'] / 1024, figures['cached'], extra))
    print('  goals %s' % ('met' if met else 'NOT met'))
    return met


def print_waterfall(label, events):
    """One line a request: its start and end (ms from the first request's start), a bar on a
    50 ms scale, its size or "cache", its address without the origin."""
    print('  %s, request by request:' % label)
    for request in events:
        parts = urlsplit(request.url)
        name = parts.path + ('?…' if parts.query else '')
        size = 'cache' if not request.received else '%.1f KB' % (request.received / 1024)
        start, end = round(request.sent * 20), round(request.finished * 20)
        print('    %5d %5d ms %-8s %-40s %s%s' % (
            request.sent * 1000, request.finished * 1000, size, name[-40:],
            ' ' * min(start, 60), '#' * max(1, min(end - start, 60))))


if __name__ == '__main__':
    sys.exit(main())
