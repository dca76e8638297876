"""Turn one controller source into the C++ chunk table the extension module embeds.

Steps: substitute the deployment constants (@NAME@ -> value of `name` in the [deployment]
section), refuse what cannot be stored, make the stored form (a backslash before every
double quote) and cut it into chunks of at most CHUNK_LIMIT decoded characters, then write
the chunks as C++ string literals.

    python embed_controller.py SOURCE --deployment INI --symbol NAME --output FILE.cpp
"""
import argparse
import configparser
import os
import re
import sys
from pathlib import Path

CHUNK_LIMIT = 2999
PLACEHOLDER_WORD = "origin_slash_quoate"
DEPLOYMENT_SECTION = "deployment"
DEPLOYMENT_ENV = "ROUTEWEAVE_DEPLOYMENT"
DEFAULT_DEPLOYMENT = Path(__file__).resolve().parent.parent / "deployment.ini"

_CONSTANT = re.compile(r"@([A-Z][A-Z0-9_]*)@")
# Values land inside Python string literals: keep them to visible ASCII that cannot end one.
_SAFE_VALUE = re.compile(r"[!#-&(-\[\]-~]+")


class EmbedError(Exception):
    """A source or configuration the build cannot embed; the message says why."""


def deployment_path():
    """The configuration the build uses when CMake is given none: $ROUTEWEAVE_DEPLOYMENT or the default."""
    return Path(os.environ.get(DEPLOYMENT_ENV) or DEFAULT_DEPLOYMENT)


def load_deployment(path):
    """Read the [deployment] section of `path` as a dict of lower-case keys to values."""
    parser = configparser.ConfigParser(interpolation=None)
    try:
        with open(path, encoding="utf-8") as file:
            parser.read_file(file)
    except (OSError, configparser.Error) as exc:
        raise EmbedError(f"{path}: cannot read the deployment configuration: {exc}") from None
    if not parser.has_section(DEPLOYMENT_SECTION):
        raise EmbedError(f"{path}: no [{DEPLOYMENT_SECTION}] section")
    constants = dict(parser.items(DEPLOYMENT_SECTION))
    for key, value in constants.items():
        if value and not _SAFE_VALUE.fullmatch(value):
            raise EmbedError(
                f"{path}: {key} = {value!r}: a value may hold only visible ASCII characters "
                "other than quotes and backslashes")
    return constants


def substitute_deployment(text, constants):
    """Replace every @NAME@ by the value of `name`; an unknown or empty one is an error."""
    def value_of(match):
        key = match.group(1).lower()
        value = constants.get(key)
        if not value:
            line = text.count("\n", 0, match.start()) + 1
            state = "is empty" if key in constants else "is missing"
            raise EmbedError(
                f"line {line}: {match.group(0)} has no value: '{key}' {state} in the "
                f"[{DEPLOYMENT_SECTION}] section of the deployment configuration")
        return value
    return _CONSTANT.sub(value_of, text)


def check_storable(text):
    """Refuse what the stored form cannot carry or the loader cannot run."""
    if not text:
        raise EmbedError("the source is empty")
    if "\0" in text:
        raise EmbedError("the source holds a NUL character")
    if PLACEHOLDER_WORD in text:
        line = text.count("\n", 0, text.index(PLACEHOLDER_WORD)) + 1
        raise EmbedError(
            f"line {line}: the source holds the word {PLACEHOLDER_WORD!r}, which the loader "
            "turns into a backslash and a double quote; rename it")


def decoded_source(path, constants):
    """The text the loader will run for the controller source at `path`."""
    try:
        text = Path(path).read_bytes().decode("utf-8")
    except (OSError, UnicodeDecodeError) as exc:
        raise EmbedError(f"cannot read the source as UTF-8: {exc}") from None
    text = substitute_deployment(text, constants)
    check_storable(text)
    return text


def stored_chunks(text, limit=CHUNK_LIMIT):
    """Stored form of `text`, cut between characters so each chunk decodes to at most `limit`."""
    pieces = [text[start:start + limit] for start in range(0, len(text), limit)]
    return [piece.replace('"', '\\"') for piece in pieces]


def cpp_string_literal(text):
    """`text` as UTF-8 in C++ string literals, one per source line, plain ASCII except escapes.

    Octal escapes always take three digits, so a following digit never joins them (unlike hex
    escapes), and '?' is escaped so no trigraph can form.
    """
    lines = []
    current = []
    for byte in text.encode("utf-8"):
        current.append(_escape_byte(byte))
        if byte == 0x0A:
            lines.append('"' + "".join(current) + '"')
            current = []
    if current or not lines:
        lines.append('"' + "".join(current) + '"')
    return "\n".join(lines)


_ESCAPES = {0x0A: "\\n", 0x09: "\\t", 0x22: '\\"', 0x5C: "\\\\", 0x3F: "\\?"}


def _escape_byte(byte):
    if byte in _ESCAPES:
        return _ESCAPES[byte]
    if 0x20 <= byte < 0x7F:
        return chr(byte)
    return f"\\{byte:03o}"


def render_table(chunks, symbol, origin):
    """C++ source defining `routeweave::<symbol>` (declared in controller_sources.hpp)."""
    parts = [
        f"// Generated from {origin} by tools/embed_controller.py; do not edit.",
        '#include "controller_sources.hpp"',
        "",
        "namespace routeweave {",
        "namespace {",
        "",
        "const char *const chunks[] = {",
    ]
    for number, chunk in enumerate(chunks, 1):
        parts.append(f"// chunk {number} of {len(chunks)}")
        parts.append(cpp_string_literal(chunk) + ",")
    parts += [
        "};",
        "",
        "}  // namespace",
        "",
        f"const StoredSource {symbol} = {{chunks, sizeof chunks / sizeof chunks[0]}};",
        "",
        "}  // namespace routeweave",
        "",
    ]
    return "\n".join(parts)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("source", type=Path)
    parser.add_argument("--deployment", type=Path, default=None)
    parser.add_argument("--symbol", required=True)
    parser.add_argument("--output", type=Path, required=True)
    args = parser.parse_args(argv)
    deployment = args.deployment or deployment_path()
    try:
        text = decoded_source(args.source, load_deployment(deployment))
    except EmbedError as exc:
        print(f"error: {args.source}: {exc}", file=sys.stderr)
        return 1
    table = render_table(stored_chunks(text), args.symbol, f"controllers/{args.source.name}")
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(table, encoding="ascii")
    return 0


if __name__ == "__main__":
    sys.exit(main())
