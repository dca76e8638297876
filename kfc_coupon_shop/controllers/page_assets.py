"""The page's files under a version named by their content: /kfc_coupon_shop/v<version>/src/...

The version is a directory of the files' address, so the modules' relative imports
("./api.js") stay under it and every file of one version comes from that version. A versioned
address never changes its content, so browsers may keep it for a year without asking; only the
page itself ("/", no-cache) names the current version. Any change of a file under ``src``
makes a new version, so the next load of the page fetches exactly what changed with it.

On a phone's network each round trip counts, so the page names the whole start-up module
graph at once (modulepreload: fetched together, not import after import), and text is sent
gzipped to a client that takes it: Odoo serves an add-on's static files as they are on disk
and leaves compression to a proxy, which a deployment may lack.
"""
import gzip
import hashlib
import mimetypes
import os
import posixpath
import re

import werkzeug.security
import werkzeug.utils
from werkzeug.exceptions import NotFound
from werkzeug.wrappers import Request, Response

SOURCE_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                          'static', 'src')
PAGE_FILE = os.path.join(SOURCE_DIR, 'index.html')
CONFIG_ELEMENT = '<script type="application/json" id="page-config">'
STATIC_PREFIX = '/kfc_coupon_shop/static/src/'
VERSIONED_PREFIX = '/kfc_coupon_shop/v%s/src/'
VERSION_LENGTH = 16                 # hex digits of the content's SHA-256
IMMUTABLE_SECONDS = 365 * 24 * 3600
COMPRESSED_TYPES = ('text/', 'application/javascript', 'application/json', 'image/svg+xml')
# A module's static imports of its neighbours ("import {h} from './dom.js';", one a line
# start); import(...) is not one: a module loaded on demand is not preloaded.
PAGE_MODULE = re.compile(r'<script type="module"[^>]* src="%s([^"]+)"' % re.escape(STATIC_PREFIX))
STATIC_IMPORT = re.compile(r"""^import\s+(?:[^'";]*?\sfrom\s+)?['"](\.\.?/[^'"]+)['"]""", re.M)

_known = {'stamp': None, 'current': None}


def _files():
    """The files under ``src``, as (path relative to it, absolute path), in a fixed order."""
    found = []
    for folder, subfolders, names in os.walk(SOURCE_DIR):
        subfolders.sort()
        for name in sorted(names):
            path = os.path.join(folder, name)
            found.append((os.path.relpath(path, SOURCE_DIR).replace(os.sep, '/'), path))
    return found


def _current():
    """{version, preloads: the modules the page preloads, gzipped: the text files served} of
    the files under ``src``: the same in every worker; read again only when a file's size or
    modification time changed."""
    files = _files()
    stamp = tuple((name, status.st_mtime_ns, status.st_size)
                  for name, status in ((name, os.stat(path)) for name, path in files))
    if stamp != _known['stamp']:
        digest = hashlib.sha256()
        contents = {}
        for name, path in files:
            with open(path, 'rb') as handle:
                contents[name] = content = handle.read()
            digest.update(b'%s\0%d\0' % (name.encode(), len(content)))
            digest.update(content)
        _known.update(stamp=stamp, current={'version': digest.hexdigest()[:VERSION_LENGTH],
                                            'preloads': preloaded_modules(contents),
                                            'gzipped': {}})
    return _known['current']


def asset_version():
    """The hash of the names and contents of the files under ``src``."""
    return _current()['version']


def preloaded_modules(contents):
    """The modules the page's module scripts import, directly or not, in the order first met
    (the first script's first, as they are wanted first); contents: {path under src: bytes}."""
    scripts = PAGE_MODULE.findall(contents['index.html'].decode())
    found, pending = [], list(scripts)
    while pending:
        name = pending.pop(0)
        if name in found or name not in contents:
            continue
        found.append(name)
        for target in STATIC_IMPORT.findall(contents[name].decode()):
            pending.append(posixpath.normpath(posixpath.join(posixpath.dirname(name), target)))
    return tuple(name for name in found if name not in scripts)


def versioned_page(config_json):
    """index.html with its files named under the current version, the start-up modules to
    preload and the page's configuration (a JSON text) written in."""
    known = _current()
    prefix = VERSIONED_PREFIX % known['version']
    with open(PAGE_FILE, 'rb') as handle:
        page = handle.read().decode().replace(STATIC_PREFIX, prefix)
    # "<" as \u003c: the text cannot close the script element that holds it
    config = config_json.replace('<', '\\u003c').replace('>', '\\u003e').replace('&', '\\u0026')
    page = page.replace(CONFIG_ELEMENT, CONFIG_ELEMENT + config, 1)
    preloads = ''.join('    <link rel="modulepreload" href="%s%s">\n' % (prefix, name)
                       for name in known['preloads'])
    return page.replace('</head>', preloads + '</head>', 1)


def versioned_file(version, path, environ):
    """The response serving ``path`` of ``src`` at ``version``: cached for good, as its
    content never changes; not found for any other version than the current one, which would
    keep another content under that version's name."""
    known = _current()
    if version != known['version']:
        raise NotFound()
    mimetype = mimetypes.guess_type(path)[0] or 'application/octet-stream'
    if mimetype.startswith(COMPRESSED_TYPES):
        response = text_response(*_text_file(known, path), mimetype, environ)
    else:
        response = werkzeug.utils.send_from_directory(SOURCE_DIR, path, environ)
    response.cache_control.public = True
    response.cache_control.max_age = IMMUTABLE_SECONDS
    response.cache_control.immutable = True
    return response


def _text_file(known, path):
    """(content, gzipped) of the file ``path`` of ``src``, kept with its version."""
    if path not in known['gzipped']:
        filename = werkzeug.security.safe_join(SOURCE_DIR, path)
        if filename is None or not os.path.isfile(filename):
            raise NotFound()
        with open(filename, 'rb') as handle:
            content = handle.read()
        known['gzipped'][path] = (content, compress(content))
    return known['gzipped'][path]


def compress(content):
    return gzip.compress(content, 9, mtime=0)


def text_response(content, gzipped, mimetype, environ):
    """A response of ``content``, or of ``gzipped`` (its gzip) to a client that takes gzip."""
    response = Response(content, mimetype=mimetype)
    response.vary.add('Accept-Encoding')
    if Request(environ).accept_encodings['gzip']:
        response.set_data(gzipped)
        response.content_encoding = 'gzip'
    return response
