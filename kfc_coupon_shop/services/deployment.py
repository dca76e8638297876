"""The deployment constants the controllers were built with (deployment.ini at the project root,
or the file named by $ROUTEWEAVE_DEPLOYMENT): the outside origins and the page's address."""
import configparser
import os
from urllib.parse import urlsplit

# Deployment keys that name an outside origin or base address.
_ORIGIN_KEY_SUFFIXES = ('_origin', '_base')


def deployment_path():
    """The deployment file: $ROUTEWEAVE_DEPLOYMENT, else deployment.ini at the project root."""
    path = os.environ.get('ROUTEWEAVE_DEPLOYMENT')
    if path:
        return path
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    return os.path.join(root, 'deployment.ini')


def read_deployment(path=None):
    """The [deployment] constants as a dict of text values."""
    parser = configparser.ConfigParser(interpolation=None)
    path = path or deployment_path()
    with open(path, encoding='utf-8') as handle:
        parser.read_file(handle)
    return dict(parser['deployment'])


def deployment_origins(deployment):
    """The outside origins named by the deployment constants (their *_origin and *_base keys)."""
    origins = []
    for key, value in deployment.items():
        if key.endswith(_ORIGIN_KEY_SUFFIXES):
            origin = normalize_origin(value)
            if origin not in origins:
                origins.append(origin)
    return origins


def normalize_origin(url):
    """scheme://host[:port] of a URL, lower-cased, without a default port."""
    parts = urlsplit(url)
    scheme = parts.scheme.lower()
    host = (parts.hostname or '').lower()
    if ':' in host:
        host = '[%s]' % host
    port = parts.port
    if port is None or (scheme, port) in (('http', 80), ('https', 443)):
        return '%s://%s' % (scheme, host)
    return '%s://%s:%d' % (scheme, host, port)
