"""In-memory state of the simulated services, shared by the request threads.

One re-entrant lock guards everything: the sandbox serves few requests and a single lock keeps
every read-modify-write (single-use codes, duplicate order numbers) plainly atomic. Nothing
slow happens under the lock; notifications are posted after it is released.
"""
import collections
import threading
import time

# How many requests of the simulated services the request log keeps (the latest ones).
REQUEST_LOG_SIZE = 500


class Fault:
    """An injected misbehaviour of one service.

    Before the request is processed: "error" (the service's own error reply), "http" (a bare
    5xx page), "hang" (wait ``seconds``, then process), "reply" (answer ``body``, any JSON
    value, in place of the service). After it is processed, so that the client cannot tell
    whether it took effect: "late_error" (the work is done, the reply is a 5xx),
    "late_hang" (the work is done, the reply waits ``seconds``) and "late_drop" (the work is
    done, the connection is closed without a reply). "forge" (WeChat Pay only)
    processes the request and alters its signed reply as ``alter`` says: "signature" (a wrong
    signature), "stale" (signed ten minutes ago), "charset" (a body that is not UTF-8) or
    "field" (the reply's main field left out, correctly signed).
    """

    MODES = ('error', 'http', 'hang', 'reply', 'late_error', 'late_hang', 'late_drop', 'forge')
    EARLY = ('error', 'http', 'hang', 'reply')
    ALTERATIONS = ('signature', 'stale', 'charset', 'field')

    def __init__(self, mode, seconds=0.0, status=None, times=None, path='', body=None,
                 alter=None):
        if mode not in self.MODES:
            raise ValueError('mode must be one of %s' % ', '.join(self.MODES))
        if mode == 'forge' and alter not in self.ALTERATIONS:
            raise ValueError('alter must be one of %s' % ', '.join(self.ALTERATIONS))
        self.mode = mode
        self.alter = alter
        self.seconds = float(seconds)
        self.status = status
        self.times = times          # None: until cleared
        self.path = path or ''      # only requests whose path starts with it
        self.body = body
        self.released = threading.Event()

    def matches(self, path):
        return path.startswith(self.path)

    def describe(self):
        return {'mode': self.mode, 'seconds': self.seconds, 'status': self.status,
                'times': self.times, 'path': self.path, 'body': self.body,
                'alter': self.alter}


class SandboxState:
    def __init__(self, config, clock=time.time):
        self.config = config
        self.clock = clock
        self.lock = threading.RLock()
        self.faults = {}
        self.timers = []             # pending notification redeliveries
        self.reset()

    def reset(self):
        with self.lock:
            self.release_faults()
            self.cancel_timers()
            # WeChat official account
            self.users = {}              # openid -> user dict
            self.browser_openid = None   # the user behind the browser consent page
            self.oauth_codes = {}        # code -> {openid, scope, issued, used}
            self.web_tokens = {}         # OAuth access token -> {openid, scope, expires}
            self.access_tokens = {}      # /cgi-bin/token token -> expiry time
            self.ticket = None           # (ticket, expiry time)
            self.token_expires_in = self.config.token_ttl   # None: the reply omits it
            self.sns_charset = None      # None: /sns/* replies say "text/plain" and no charset
            self.template_messages = []
            # the phone: where wx.getLocation finds it (lat, lng); None: the customer refuses
            self.location = self.config.browser_location
            # WeChat Pay
            self.transactions = {}       # out_trade_no -> transaction dict
            self.refunds = {}            # out_refund_no -> refund dict
            self.notifications = []      # sent notifications with their deliveries
            self.bill_files = {}         # download token -> (trade bill bytes, expiry time)
            self.bill_amendments = {}    # out_trade_no or out_refund_no -> {column: value}
            # redeliveries wait the real schedule times this factor (tests shrink it)
            self.notify_retry_scale = self.config.notify_retry_scale
            # coupon back-end
            self.backend_tokens = {}     # token -> expiry time
            self.sale_flags = {}         # (storecode or '*', linkId) -> saleFlag
            self.orders = {}             # uuid -> placed order
            self.kitchen_seconds = self.config.kitchen_seconds   # None: dishes wait for control
            # a new order's items show in the done-order answers this long after its entry
            self.done_order_delay = 0.0
            self.coupon_scripts = {}     # path -> replies queued by the control side
            self.coupon_payloads = collections.deque(maxlen=REQUEST_LOG_SIZE)  # {path, body}
            # requests the simulated services received, in order: what the clients really sent
            self.requests = collections.deque(maxlen=REQUEST_LOG_SIZE)
            # the same requests with their headers and bodies, for checks of what was signed
            self.request_bodies = collections.deque(maxlen=REQUEST_LOG_SIZE)

    def record_request(self, service, request):
        with self.lock:
            self.requests.append({'service': service, 'method': request.method,
                                  'path': request.path,
                                  'query': request.query_string.decode('latin-1')})
            self.request_bodies.append({
                'service': service, 'method': request.method, 'path': request.path,
                'headers': [list(pair) for pair in request.headers.items()],
                'body': request.get_data().decode('utf-8', 'replace')})

    # -- timers: notification redeliveries, the kitchen ----------------------------------------

    def start_timer(self, seconds, func):
        timer = threading.Timer(seconds, func)
        timer.daemon = True
        with self.lock:
            self.timers = [t for t in self.timers if t.is_alive()]
            self.timers.append(timer)
        timer.start()

    def cancel_timers(self):
        with self.lock:
            timers, self.timers = self.timers, []
        for timer in timers:
            timer.cancel()

    # -- faults ----------------------------------------------------------------------------

    def set_fault(self, service, fault):
        with self.lock:
            old = self.faults.get(service)
            if old:
                old.released.set()
            self.faults[service] = fault

    def clear_fault(self, service=None):
        with self.lock:
            services = [service] if service else list(self.faults)
            for name in services:
                fault = self.faults.pop(name, None)
                if fault:
                    fault.released.set()

    def release_faults(self):
        self.clear_fault()

    def take_fault(self, service, path):
        """The fault to apply to this request, counting it down when limited."""
        with self.lock:
            fault = self.faults.get(service)
            if fault is None or not fault.matches(path):
                return None
            if fault.times is not None:
                fault.times -= 1
                if fault.times <= 0:
                    del self.faults[service]
            return fault
