"""The page's files under a version named by their content: /kfc_coupon_shop/v<version>/src/...

The version is a directory of the files' address, so the modules' relative imports
("./api.js") stay under it and every file of one version comes from that version. A versioned
address never changes its content, so browsers may keep it for a year without asking; only the
page itself ("/", no-cache) names the current version. Any change of a file under ``src``
makes a new version, so the next load of the page fetches exactly what changed with it.
"""
import hashlib
import os

import werkzeug.utils
from werkzeug.exceptions import NotFound

SOURCE_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                          'static', 'src')
PAGE_FILE = os.path.join(SOURCE_DIR, 'index.html')
STATIC_PREFIX = '/kfc_coupon_shop/static/src/'
VERSIONED_PREFIX = '/kfc_coupon_shop/v%s/src/'
VERSION_LENGTH = 16                 # hex digits of the content's SHA-256
IMMUTABLE_SECONDS = 365 * 24 * 3600

_known = {'stamp': None, 'version': None}


def _files():
    """The files under ``src``, as (path relative to it, absolute path), in a fixed order."""
    found = []
    for folder, subfolders, names in os.walk(SOURCE_DIR):
        subfolders.sort()
        for name in sorted(names):
            path = os.path.join(folder, name)
            found.append((os.path.relpath(path, SOURCE_DIR).replace(os.sep, '/'), path))
    return found


def asset_version():
    """The hash of the names and contents of the files under ``src``: the same in every
    worker; hashed again only when a file's size or modification time changed."""
    files = _files()
    stamp = tuple((name, status.st_mtime_ns, status.st_size)
                  for name, status in ((name, os.stat(path)) for name, path in files))
    if stamp != _known['stamp']:
        digest = hashlib.sha256()
        for name, path in files:
            with open(path, 'rb') as handle:
                content = handle.read()
            digest.update(b'%s\0%d\0' % (name.encode(), len(content)))
            digest.update(content)
        _known.update(stamp=stamp, version=digest.hexdigest()[:VERSION_LENGTH])
    return _known['version']


def versioned_page():
    """index.html with its scripts and styles named under the current version."""
    with open(PAGE_FILE, 'rb') as handle:
        page = handle.read().decode()
    return page.replace(STATIC_PREFIX, VERSIONED_PREFIX % asset_version())


def versioned_file(version, path, environ):
    """The response serving ``path`` of ``src`` at ``version``: cached for good, as its
    content never changes; not found for any other version than the current one, which would
    keep another content under that version's name."""
    if version != asset_version():
        raise NotFound()
    response = werkzeug.utils.send_from_directory(SOURCE_DIR, path, environ,
                                                  max_age=IMMUTABLE_SECONDS)
    response.cache_control.immutable = True
    return response
