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
_ALL_NAMES = frozenset(SECRET_NAMES + TAILED_NAMES)
# Every name contains one of these: a text without any has no named secret to look for.
_NAME_CORES = ('secret', 'token', 'ticket', 'password', 'key')

# Every pattern below runs in time linear in the text: no quantified group can match the same
# characters in two ways, and a scan that fails ends where the next one starts (an unterminated
# value or private key is masked to its end), so no stretch of text is read twice.

# name=value in a query string or form body (also URL-encoded inside another URL)
_QUERY = re.compile(r'(?<![A-Za-z0-9_])(%s)(=|%%3D)([^&\s\'"#)\]},]+)' % _NAMES, re.IGNORECASE)
# "name": "value" in JSON or a Python repr: the head, then the value read by _VALUE_END
_FIELD_HEAD = re.compile(r'''["'](%s)["']\s*:\s*(["'])''' % _NAMES, re.IGNORECASE)
# the rest of a quoted value: characters other than its quote, backslash and line end, or a
# backslash with the character it escapes; then the closing quote
_VALUE_END = {quote: re.compile(r'[^\\%s\n]*(?:\\.[^\\%s\n]*)*%s' % (quote, quote, quote))
              for quote in '"\''}
# \"name\": \"value\" in JSON text held by a JSON string (a match starts at a run's first backslash)
_ESCAPED_FIELD = re.compile(r'''(?<!\\)(\\+["'](%s)\\+["']\s*:\s*\\+["'])([^"'\\]*)''' % _NAMES,
                            re.IGNORECASE)
_PEM_BEGIN = re.compile(r'-----BEGIN [A-Z ]*PRIVATE KEY-----')
_PEM_END = re.compile(r'-----END [A-Z ]*PRIVATE KEY-----')


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
    text = _mask_private_keys(text)
    if _mentions_a_name(text):
        text = _QUERY.sub(lambda m: m.group(1) + m.group(2) + masked(m.group(1), m.group(3)),
                          text)
        text = _mask_quoted_fields(text)
        text = _ESCAPED_FIELD.sub(lambda m: m.group(1) + masked(m.group(2), m.group(3)), text)
    for value in _secrets:
        text = text.replace(value, MASK)
    return text


def redact_data(value):
    """A copy of ``value`` (dicts, lists and tuples of any depth, as parsed JSON or a form) in
    which every string held by a field of a secret name is masked."""
    if isinstance(value, dict):
        return {key: masked(key, item) if _is_secret_field(key, item) else redact_data(item)
                for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [redact_data(item) for item in value]
    return value


def _is_secret_field(key, item):
    return isinstance(key, str) and isinstance(item, str) and key.lower() in _ALL_NAMES


def _mentions_a_name(text):
    folded = text.casefold()        # as the patterns' IGNORECASE matches
    return any(core in folded for core in _NAME_CORES)


def _mask_private_keys(text):
    parts, pos = [], 0
    while True:
        begin = _PEM_BEGIN.search(text, pos)
        if begin is None:
            break
        end = _PEM_END.search(text, begin.end())
        parts += [text[pos:begin.start()], '[private key]']
        pos = end.end() if end else len(text)
        if end is None:
            break
    return ''.join(parts) + text[pos:] if parts else text


def _mask_quoted_fields(text):
    parts, pos = [], 0
    while True:
        head = _FIELD_HEAD.search(text, pos)
        if head is None:
            break
        quote = head.group(2)
        tail = _VALUE_END[quote].match(text, head.end())
        if tail is not None:
            value, after = text[head.end():tail.end() - 1], tail.end()
        else:                       # unterminated: masked to the end of its line
            line_end = text.find('\n', head.end())
            after = len(text) if line_end < 0 else line_end
            value = text[head.end():after]
        parts += [text[pos:head.end()], masked(head.group(1), value), quote if tail else '']
        pos = after
    return ''.join(parts) + text[pos:] if parts else text


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
