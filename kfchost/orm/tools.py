"""Small helpers of the records layer: SQL quoting, PostgreSQL-like integer input, rounding."""
import decimal
import re

# PostgreSQL's int4 input: optional blanks around an optional sign and decimal digits.
_PG_INT = re.compile(r"\s*[+-]?\d+\s*\Z")


def quote(name):
    """An SQL identifier in double quotes."""
    return '"%s"' % name


def pg_int(value):
    """``value`` as PostgreSQL reads it into an integer column, which rejects what it cannot read.

    Ids reach the database as text in Odoo (``('id', '=', '5')`` is valid, ``'abc'`` an SQL
    error); SQLite would silently compare text with integers, so the check is made here.
    """
    if isinstance(value, bool):
        raise ValueError('invalid input syntax for type integer: "%s"' % value)
    if isinstance(value, int):
        return value
    text = str(value)
    if not _PG_INT.match(text):
        raise ValueError('invalid input syntax for type integer: "%s"' % text)
    return int(text)


def pg_number(value):
    """A number as is (the database compares it with integers), anything else as ``pg_int``."""
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return value
    return pg_int(value)


def float_round(value, digits):
    """Round half away from zero to ``digits`` decimals, as Odoo's float_round (HALF-UP)."""
    quantum = decimal.Decimal(1).scaleb(-digits)
    return float(decimal.Decimal(repr(value)).quantize(quantum, rounding=decimal.ROUND_HALF_UP))


def unique(items):
    """The items in their first order, without repetitions."""
    return list(dict.fromkeys(items))


def chunks(items, size):
    """Consecutive slices of ``items`` of at most ``size`` elements."""
    for start in range(0, len(items), size):
        yield items[start:start + size]
