"""Secrets out of log texts: URLs, exception messages and logged replies are redacted with
``redact`` before they reach ``api.log`` or the server log.

What counts as a secret: the value of a query, form or JSON field whose name says so (app
secret, access and refresh tokens, tickets, keys, passwords; login tokens keep their last four
characters), also in JSON text held by a JSON string, PEM private keys, and the
credentials of the host's own settings wherever they appear (``set_secrets``: whoever applies
the settings hands them here; this module imports nothing of the add-on).
"""
import logging
import re

MASK = '***'
SECRET_NAMES = ('secret', 'appsecret', 'app_secret', 'access_token', 'refresh_token',
                'jsapi_ticket', 'ticket', 'password', 'apiv3_key', 'api_key', 'private_key',
                'merchant_private_key', 'order_signing_key', 'key')
# Customers' login tokens (and the back-end's token): masked as well, but their last four
# characters are kept, so that the entries of one customer can still be matched.
TAILED_NAMES = ('token',)
TAIL = 4
_NAMES = '|'.join(sorted(SECRET_NAMES + TAILED_NAMES, key=len, reverse=True))
# name=value in a query string or form body (also URL-encoded inside another URL)
_QUERY = re.compile(r'(?<![A-Za-z0-9_])(%s)(=|%%3D)([^&\s\'"#)\]},]+)' % _NAMES, re.IGNORECASE)
# "name": "value" in JSON or a Python repr
_FIELD = re.compile(r'''(["'](%s)["']\s*:\s*)(["'])((?:\\.|(?!\3).)*)\3''' % _NAMES,
                    re.IGNORECASE)
# \"name\": \"value\" in JSON text held by a JSON string
_ESCAPED_FIELD = re.compile(r'''(\\+["'](%s)\\+["']\s*:\s*\\+["'])([^"'\\]*)''' % _NAMES,
                            re.IGNORECASE)
_PEM = re.compile(r'-----BEGIN [A-Z ]*PRIVATE KEY-----.*?-----END [A-Z ]*PRIVATE KEY-----',
                  re.DOTALL)


def masked(name, value):
    """What a log shows for ``value``, a value of the field ``name``."""
    if name.lower() not in TAILED_NAMES:
        return MASK
    if value.startswith(MASK):          # masked before
        return value
    return MASK + value[-TAIL:] if len(value) >= 4 * TAIL else MASK


def redact(text):
    """``text`` (or the text of any value) with every secret in it masked."""
    if not isinstance(text, str):
        text = str(text)
    text = _PEM.sub('[private key]', text)
    text = _QUERY.sub(lambda m: m.group(1) + m.group(2) + masked(m.group(1), m.group(3)), text)
    text = _FIELD.sub(lambda m: m.group(1) + m.group(3) + masked(m.group(2), m.group(4))
                      + m.group(3), text)
    text = _ESCAPED_FIELD.sub(lambda m: m.group(1) + masked(m.group(2), m.group(3)), text)
    for value in _secrets:
        text = text.replace(value, MASK)
    return text


def redact_exception(exc):
    """``exc`` itself, its message redacted and its chain of causes dropped from tracebacks
    (requests keeps the full URL in the urllib3 errors it wraps)."""
    text = str(exc)
    clean = redact(text)
    if clean != text:
        exc.args = (clean,)
    exc.__cause__ = None
    exc.__suppress_context__ = True
    return exc


class RedactingFilter(logging.Filter):
    """Redacts the records of a logger that writes URLs as they are (urllib3 logs every request
    line, query included, at DEBUG level)."""

    def filter(self, record):
        message = record.getMessage()
        clean = redact(message)
        if clean != message:
            record.msg, record.args = clean, None
        return True


def install_log_filter(logger_names=('urllib3.connectionpool',)):
    for name in logger_names:
        logger = logging.getLogger(name)
        if not any(isinstance(f, RedactingFilter) for f in logger.filters):
            logger.addFilter(RedactingFilter())


_secrets = ()


def set_secrets(values):
    """The credentials to mask wherever they appear; short values are left alone, since
    masking them would mangle ordinary text."""
    global _secrets
    _secrets = tuple(value for value in values if value and len(value) >= 6)
