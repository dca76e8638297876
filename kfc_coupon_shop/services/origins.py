"""Origins of web addresses, in the one form every comparison of the add-on uses."""
from urllib.parse import urlsplit

DEFAULT_PORTS = {'http': 80, 'https': 443}


def normalize_origin(url):
    """scheme://host[:port] of an http or https URL as a browser names its origin: lower-case,
    an IPv6 host in brackets, without the scheme's default port; None for anything that names
    no such origin (another scheme, no host, a port that is none)."""
    try:
        parts = urlsplit(url.strip())
        port = parts.port
    except ValueError:
        return None
    host = parts.hostname
    if parts.scheme not in DEFAULT_PORTS or not host:
        return None
    if ':' in host:
        host = '[%s]' % host
    if port is None or port == DEFAULT_PORTS[parts.scheme]:
        return '%s://%s' % (parts.scheme, host)
    return '%s://%s:%d' % (parts.scheme, host, port)
