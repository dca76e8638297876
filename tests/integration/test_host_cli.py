"""The command line: a configured public address stands whatever address the server listens on."""
import subprocess
import sys

import pytest


@pytest.fixture
def serve(tmp_path):
    started = []

    def run(*args):
        process = subprocess.Popen([sys.executable, '-m', 'kfchost', 'serve', '--port', '0'] + list(args),
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        started.append(process)
        lines = [process.stdout.readline() for _ in range(2)]
        return lines
    yield run
    for process in started:
        process.terminate()
        process.wait(10)


def test_configured_public_url_stands(serve, tmp_path):
    config = tmp_path / 'odoo.conf'
    config.write_text('[options]\ndb_path = %s\n\n[kfc_coupon_shop]\npublic_url = https://shop.example\n'
                      % (tmp_path / 'db.sqlite3'))
    listening, notify = serve('--config', str(config))
    assert listening.startswith('kfchost API listening on http://127.0.0.1:')
    assert notify.strip() == 'WeChat Pay notifications go to https://shop.example/api/...'
