"""The host's clock is UTC whatever the machine's zone; dates in a user's zone come from the
context's tz, else the user's, as Odoo's fields.Date.context_today does."""
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


def test_context_today_honours_the_context_zone_then_the_user_zone(env):
    evening = datetime.datetime(2024, 1, 1, 20, 0)      # UTC: already Jan 2nd in Shanghai
    users = env['res.users']
    assert fields.Date.context_today(users, evening) == datetime.date(2024, 1, 1)
    shanghai = users.with_context(tz='Asia/Shanghai')
    assert fields.Date.context_today(shanghai, evening) == datetime.date(2024, 1, 2)
    assert fields.Date.context_today(users.with_context(tz='America/New_York'),
                                     datetime.datetime(2024, 1, 1, 3, 0)) == datetime.date(2023, 12, 31)
    # without a tz in the context, the user's own zone
    env.ref('base.user_admin').tz = 'Asia/Shanghai'
    admin = users.with_user(env.ref('base.user_admin'))
    assert fields.Date.context_today(admin, evening) == datetime.date(2024, 1, 2)
    stamp = fields.Datetime.context_timestamp(admin, evening)
    assert (stamp.isoformat(), stamp.tzinfo.zone) == ('2024-01-02T04:00:00+08:00', 'Asia/Shanghai')
    assert fields.Datetime.context_timestamp(users, evening).isoformat() == '2024-01-01T20:00:00+00:00'
