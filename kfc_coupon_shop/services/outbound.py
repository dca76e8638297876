"""The HTTP client bound as `requests` in the controller modules.

A thin layer over `requests.Session` that adds two things the controllers do not do themselves:

* a default time-out (connect, read) on every call, so that a hung outside service can never hold
  a server worker; a caller that passes its own `timeout` keeps it;
* in sandbox mode, a map from production origins to the local simulator: a URL whose
  scheme://host[:port] is a key of the map goes to the mapped base, path and query kept;
* failures whose text would carry a secret of the URL (an app secret or access token in the
  query) are raised with that text redacted, so that no log or traceback shows it.

Each thread gets its own Session. requests does not promise that a Session is thread-safe
(its cookie jar and adapter mounting are shared mutable state), while a Session per server
thread keeps connection reuse and needs no lock. Cookies are never kept: every outside call
is made on behalf of some customer, and a cookie set by a service during one customer's request
must not ride along on the next customer's.
"""
import http.cookiejar
import threading
import weakref
from urllib.parse import urlsplit, urlunsplit

import requests

from .origins import normalize_origin
from .redaction import install_log_filter, redact_exception

DEFAULT_TIMEOUT = (5, 15)
# urllib3 logs each request line it sends, werkzeug each one it serves: secrets of the query
# (app secrets, access and login tokens) included.
install_log_filter(('urllib3.connectionpool', 'werkzeug'))

class OriginMap:
    """Rewrites URLs of mapped production origins onto their replacement bases."""

    def __init__(self, mapping=None):
        self._bases = {}
        for origin, base in (mapping or {}).items():
            origin = normalize_origin(origin)
            if origin:      # what names no origin never matches a URL
                self._bases[origin] = urlsplit(base.rstrip('/'))

    def __bool__(self):
        return bool(self._bases)

    def __contains__(self, url):
        return normalize_origin(url) in self._bases

    def rewrite(self, url):
        base = self._bases.get(normalize_origin(url))
        if base is None:
            return url
        parts = urlsplit(url)
        path = base.path + (parts.path or '/')
        return urlunsplit((base.scheme, base.netloc, path, parts.query, parts.fragment))


class _NoCookies(http.cookiejar.DefaultCookiePolicy):
    def set_ok(self, cookie, request):
        return False


class Outbound:
    """`get`, `post` and `request` of requests, with a default time-out and origin mapping.

    origin_map: {production origin: simulator base URL}; None or empty in production.
    timeout: the default (connect, read) time-out in seconds, or one number for both.
    """

    def __init__(self, origin_map=None, timeout=DEFAULT_TIMEOUT):
        self.timeout = timeout
        self.origins = OriginMap(origin_map)
        self._local = threading.local()
        self._sessions = weakref.WeakSet()      # the live ones, for close()
        self._sessions_lock = threading.Lock()

    @property
    def session(self):
        """This thread's Session, made on first use and closed when the thread is gone: a
        server may start a thread per request, so keeping every session would keep their
        connections and memory for good."""
        session = getattr(self._local, 'session', None)
        if session is None:
            session = requests.Session()
            session.cookies.set_policy(_NoCookies())
            self._local.session = session
            with self._sessions_lock:
                self._sessions.add(session)
            weakref.finalize(threading.current_thread(), session.close)
        return session

    def request(self, method, url, **kwargs):
        if kwargs.get('timeout') is None:
            kwargs['timeout'] = self.timeout
        try:
            return self.session.request(method, self.origins.rewrite(url), **kwargs)
        except requests.RequestException as exc:
            raise redact_exception(exc) from None

    def get(self, url, params=None, **kwargs):
        return self.request('GET', url, params=params, **kwargs)

    def post(self, url, data=None, json=None, **kwargs):
        return self.request('POST', url, data=data, json=json, **kwargs)

    def close(self):
        with self._sessions_lock:
            sessions = list(self._sessions)
            self._sessions.clear()
        for session in sessions:
            session.close()


def sandbox_origin_map(sandbox_url, origins):
    """Map every given production origin to the one sandbox base URL."""
    return {origin: sandbox_url for origin in origins}
