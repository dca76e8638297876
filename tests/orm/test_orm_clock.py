"""The host's clock is UTC whatever the machine's zone."""
import datetime
import json
import os
import subprocess
import sys

import pytest

from kfchost.orm import fields

_PROBE = """
import datetime, json, time
import kfchost.{module}
from kfchost.orm import fields
print(json.dumps({{
    'zone': time.strftime('%Z'),
    'now': datetime.datetime.now().isoformat(),
    'utcnow': datetime.datetime.utcnow().isoformat(),
    'field_now': fields.Datetime.now().isoformat(),
    'today': fields.Date.today().isoformat(),
    'utc_today': datetime.datetime.utcnow().date().isoformat(),
}}))
"""


@pytest.mark.parametrize('module', ['orm', 'http', 'app'])
def test_host_process_clock_is_utc_in_any_machine_zone(module):
    # Kiritimati is UTC+14: local and UTC differ by a whole day part of the time
    env = dict(os.environ, TZ='Pacific/Kiritimati')
    out = subprocess.run([sys.executable, '-c', _PROBE.format(module=module)], env=env,
                         capture_output=True, text=True, timeout=60, check=True).stdout
    probe = json.loads(out)
    assert probe['zone'] == 'UTC'
    now, utcnow = (datetime.datetime.fromisoformat(probe[k]) for k in ('now', 'utcnow'))
    assert abs((now - utcnow).total_seconds()) < 5
    assert abs((datetime.datetime.fromisoformat(probe['field_now']) - utcnow).total_seconds()) < 5
    assert probe['today'] == probe['utc_today'] or utcnow.time() < datetime.time(0, 0, 5)

