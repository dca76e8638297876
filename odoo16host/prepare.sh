#!/usr/bin/env bash
# Prepares Odoo 16 for local runs: unpacks the server given as ODOO16_SRC (a source folder or
# the tarball) under var/odoo16/, makes its CPython 3.10 venv with Odoo's requirements and this
# project, and installs Debian's PostgreSQL where it is missing. Prints the two paths the
# harness reads, as shell assignments: ODOO16_ROOT (the server folder) and ODOO16_PYTHON.
#   usage: odoo16host/prepare.sh PYTHON3.10 ODOO16_SRC
set -euo pipefail
PY=$1
SRC=$2
ROOT=$(cd "$(dirname "$0")/.." && pwd)
HOME16=$ROOT/var/odoo16
mkdir -p "$HOME16"

if [ -d "$SRC" ]; then
    SERVER=$(cd "$SRC" && pwd)
    [ -f "$SERVER/odoo-bin" ] || SERVER=$SERVER/odoo16
else
    SERVER=$HOME16/odoo16
    stamp=$HOME16/unpacked-from
    if [ ! -f "$SERVER/odoo-bin" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$(readlink -f "$SRC")" ]; then
        rm -rf "$SERVER"
        tar -xzf "$SRC" -C "$HOME16"
        readlink -f "$SRC" > "$stamp"
    fi
fi
[ -f "$SERVER/odoo-bin" ] || { echo "error: no odoo-bin in $SERVER" >&2; exit 1; }

if [ ! -x /usr/lib/postgresql/15/bin/initdb ]; then
    if command -v apt-get >/dev/null 2>&1; then
        apt-get update -qq >&2 && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq postgresql >/dev/null
        # The harness runs private clusters; the packaged one is not needed.
        command -v service >/dev/null 2>&1 && service postgresql stop >/dev/null 2>&1 || true
    else
        echo "error: PostgreSQL 15 (/usr/lib/postgresql/15/bin) is missing" >&2; exit 1
    fi
fi

VENV=$HOME16/venv
REQ=$(dirname "$SERVER")/requirements-py310.txt
[ -f "$REQ" ] || REQ=$(dirname "$(readlink -f "$SRC")")/requirements-py310.txt
if [ ! -x "$VENV/bin/python" ]; then
    "$PY" -m venv "$VENV"
fi
pip=("$VENV/bin/python" -m pip -q --disable-pip-version-check)
if [ "$(cat "$VENV/requirements-installed" 2>/dev/null)" != "$(sha1sum < "$REQ")" ]; then
    "${pip[@]}" install -r "$REQ" >&2
    sha1sum < "$REQ" > "$VENV/requirements-installed"
fi
# routeweave (and the stand-in packages beside it) as a plain install, built in its own tree.
"${pip[@]}" install 'scikit-build-core>=0.8' 'pybind11>=2.11,<2.12' 'cmake>=3.18' ninja >&2
"${pip[@]}" install --no-build-isolation --config-settings=build-dir=build/odoo16 "$ROOT" >&2
echo "ODOO16_ROOT=$SERVER"
echo "ODOO16_PYTHON=$VENV/bin/python"
