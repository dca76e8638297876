"""SQL written for PostgreSQL through psycopg2, checked and turned into SQLite's form.

``cr.execute`` takes what psycopg2 takes: ``%s`` or ``%(name)s`` parameters (never both),
``%%`` for a literal percent sign when parameters are given, a tuple for ``IN %s``. Forms
that only SQLite understands (``?`` or ``:name`` parameters, ``INSERT OR IGNORE``,
``LIMIT -1``, ``PRAGMA``...) would fail on PostgreSQL, so they are refused here too.
"""
import collections.abc
import re
import sqlite3

_FOR_UPDATE = re.compile(
    r"\s+FOR\s+(?:NO\s+KEY\s+)?UPDATE(?:\s+OF\s+[\w\s,\"]+?)?(\s+NOWAIT|\s+SKIP\s+LOCKED)?\s*;?\s*$",
    re.IGNORECASE)

# string literals, quoted identifiers and comments: their text is not SQL syntax
_LITERALS = re.compile(r"'(?:[^']|'')*'|\"(?:[^\"]|\"\")*\"|--[^\n]*|/\*.*?\*/", re.DOTALL)

_SQLITE_ONLY = [
    (re.compile(r"\?"), "'?' placeholders"),
    (re.compile(r"(?<![:\w]):[A-Za-z_]\w*"), "':name' placeholders"),
    (re.compile(r"\bINSERT\s+OR\s+\w+", re.I), "INSERT OR ..."),
    (re.compile(r"^\s*REPLACE\s+INTO\b", re.I), "REPLACE INTO"),
    (re.compile(r"^\s*PRAGMA\b", re.I), "PRAGMA"),
    (re.compile(r"\bLIMIT\s+-\s*1\b", re.I), "LIMIT -1"),
    (re.compile(r"\bLIMIT\s+[^\s,;()]+\s*,", re.I), "LIMIT offset, count"),
    (re.compile(r"\bAUTOINCREMENT\b", re.I), "AUTOINCREMENT"),
    (re.compile(r"\bGLOB\b", re.I), "GLOB"),
    (re.compile(r"=="), "'=='"),
    (re.compile(r"`"), "backquoted identifiers"),
    (re.compile(r"\b(?:ifnull|iif|strftime|julianday|unixepoch|datetime|group_concat|instr|"
                r"printf|typeof|last_insert_rowid|changes|total_changes|randomblob|zeroblob)"
                r"\s*\(", re.I), "SQLite functions"),
]


class ProgrammingError(sqlite3.ProgrammingError):
    """The statement is not valid PostgreSQL. ``aborts``: PostgreSQL itself would have refused
    it, which aborts the transaction; otherwise psycopg2 refuses it before sending."""

    def __init__(self, message, aborts=True):
        super().__init__(message)
        self.aborts = aborts


class FormatError(TypeError):
    """The parameters do not fit the statement's placeholders (psycopg2 refuses it before sending)."""


def check_dialect(query):
    """Refuse the forms that SQLite accepts and PostgreSQL rejects."""
    syntax = _LITERALS.sub(" ", query)
    for pattern, what in _SQLITE_ONLY:
        match = pattern.search(syntax)
        if match:
            raise ProgrammingError(
                "%s at %r: SQL sent through cr.execute is run by PostgreSQL; write it in "
                "psycopg2's dialect (%%s or %%(name)s parameters, a tuple for IN %%s)"
                % (what, match.group(0)))


def split_for_update(query):
    """``(query without its FOR UPDATE clause, how it locks)``: None (no clause), "wait",
    "nowait" or "skip" (SKIP LOCKED)."""
    match = _FOR_UPDATE.search(query)
    if not match:
        return query, None
    words = (match.group(1) or 'wait').split()
    return query[:match.start()], words[0].lower()


def to_sqlite(query, params):
    """``(sqlite sql, sqlite params)`` of a psycopg2 statement and its parameters.

    Without parameters the text is sent as it stands, as psycopg2 does (no ``%`` processing).
    """
    if params is not None and not isinstance(params, (tuple, list, collections.abc.Mapping)):
        raise ValueError("SQL query parameters should be a tuple, list or dict; got %r" % (params,))
    if not params:
        return query, ()
    named = isinstance(params, collections.abc.Mapping)
    out, values = [], []
    position = 0
    pos = 0
    length = len(query)
    while True:
        index = query.find('%', pos)
        if index < 0:
            out.append(query[pos:])
            break
        out.append(query[pos:index])
        if index + 1 >= length:
            raise ValueError("incomplete placeholder: '%' without format")
        marker = query[index + 1]
        if marker == '%':
            out.append('%')
            pos = index + 2
            continue
        if marker == '(':
            end = query.find(')', index)
            if end < 0 or end + 1 >= length or query[end + 1] != 's':
                raise ValueError("incomplete placeholder: '%(' without ')s'")
            if not named:
                raise FormatError("argument formats can't be mixed")
            value = params[query[index + 2:end]]
            pos = end + 2
        elif marker == 's':
            if named:
                raise FormatError("argument formats can't be mixed")
            if position >= len(params):
                raise IndexError("tuple index out of range")
            value = params[position]
            position += 1
            pos = index + 2
        else:
            raise ValueError("unsupported format character '%s' (0x%x) at index %d"
                             % (marker, ord(marker), index + 1))
        out.append(_placeholder(value, values))
    if not named and position != len(params):
        raise FormatError("not all arguments converted during statement formatting")
    return ''.join(out), tuple(values)


def _placeholder(value, values):
    """The SQLite text standing for one psycopg2 parameter; its values go to ``values``."""
    if isinstance(value, tuple):
        if not value:
            # psycopg2 writes '()', which PostgreSQL rejects
            raise ProgrammingError('syntax error at or near ")": an empty tuple for IN %s')
        values.extend(_adapt(item) for item in value)
        return '(%s)' % ','.join('?' * len(value))
    values.append(_adapt(value))
    return '?'


def _adapt(value):
    if isinstance(value, (list, dict, set)):
        raise ProgrammingError(
            "can't adapt type %r here: psycopg2 sends a list as an ARRAY, which this host's "
            "database does not have; pass a tuple for IN %%s" % type(value).__name__, aborts=False)
    return value
