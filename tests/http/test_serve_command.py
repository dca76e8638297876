"""`python -m kfchost serve` as a process: how it stops, and how it refuses to start.

Each case runs the command in a subprocess on free loopback ports and reads its exit status,
its output and what it answered.
"""
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest
import requests

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CITY_PATH = '/KFCCore.asmx/KFC_GetCity'


def free_port():
    with socket.socket() as sock:
        sock.bind(('127.0.0.1', 0))
        return sock.getsockname()[1]


def serve(tmp_path, *args, ignore_sigint=False):
    """The serve command started in the background, as a shell starts `... &`: there SIGINT
    comes in ignored."""
    def preexec():
        if ignore_sigint:
            signal.signal(signal.SIGINT, signal.SIG_IGN)
    return subprocess.Popen(
        [sys.executable, '-m', 'kfchost', 'serve', '--db', str(tmp_path / 'db.sqlite3'), *args],
        cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        preexec_fn=preexec)


def wait_listening(process):
    """The first line of the serve command that says it serves; the API's URL."""
    for line in process.stdout:
        if line.startswith('kfchost API listening on '):
            return line.split()[4].rstrip('/').rsplit('/api', 1)[0]
    raise AssertionError('the server did not start: %s' % process.stderr.read())


@pytest.fixture
def ports():
    return free_port(), free_port()


@pytest.mark.parametrize('signum, ignore_sigint', [
    (signal.SIGTERM, False), (signal.SIGINT, True)], ids=['SIGTERM', 'SIGINT in the background'])
def test_a_signal_stops_the_server_after_the_request_in_progress(tmp_path, ports, signum,
                                                                 ignore_sigint):
    api_port, sandbox_port = ports
    process = serve(tmp_path, '--sandbox', '--demo', '--port', str(api_port),
                    '--sandbox-port', str(sandbox_port), ignore_sigint=ignore_sigint)
    try:
        url = wait_listening(process)
        sandbox = 'http://127.0.0.1:%d/sandbox/' % sandbox_port
        requests.post(sandbox + 'fault', json={'service': 'coupon', 'mode': 'hang', 'seconds': 2,
                                               'times': 1, 'path': CITY_PATH}, timeout=10)
        replies = []
        slow = threading.Thread(target=lambda: replies.append(
            requests.post(url + '/api/post_kfc_getcity', timeout=30)))
        started = time.monotonic()
        slow.start()
        time.sleep(0.7)                 # the request now waits on the back-end
        process.send_signal(signum)
        slow.join(30)
        assert process.wait(30) == 0
        [reply] = replies
        assert time.monotonic() - started >= 2
        assert reply.status_code == 200 and reply.json()['code'] == 200, reply.text
        assert 'kfchost stopped' in process.stdout.read()
        assert 'Traceback' not in process.stderr.read()
        with pytest.raises(requests.ConnectionError):
            requests.post(url + '/api/post_user_token', data={'token': 'x'}, timeout=5)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


def refusal(process):
    """(exit status, stderr lines, stdout) of a serve command that must not start."""
    stdout, stderr = process.communicate(timeout=60)
    return process.returncode, stderr.splitlines(), stdout


def test_a_port_in_use_is_one_line_and_status_2_before_anything_starts(tmp_path, ports):
    api_port, sandbox_port = ports
    with socket.socket() as taken:
        taken.bind(('127.0.0.1', api_port))
        taken.listen()
        process = serve(tmp_path, '--sandbox', '--demo', '--port', str(api_port),
                        '--sandbox-port', str(sandbox_port))
        status, errors, stdout = refusal(process)
    assert status == 2
    assert errors == ['kfchost serve: cannot listen on 127.0.0.1:%d: Address already in use'
                      % api_port]
    assert stdout == ''                                 # no demo data loaded, no sandbox
    assert not (tmp_path / 'db.sqlite3').exists()
    with socket.socket() as sock:                        # the sandbox never took its port
        sock.bind(('127.0.0.1', sandbox_port))


def test_the_sandbox_port_in_use_is_one_line_and_status_2(tmp_path, ports):
    api_port, sandbox_port = ports
    with socket.socket() as taken:
        taken.bind(('127.0.0.1', sandbox_port))
        taken.listen()
        status, errors, _ = refusal(serve(tmp_path, '--sandbox', '--demo', '--port', str(api_port),
                                          '--sandbox-port', str(sandbox_port)))
    assert status == 2
    assert errors == ['kfchost serve: cannot start the sandbox on port %d: Address already in use'
                      % sandbox_port]
    assert not (tmp_path / 'db.sqlite3').exists()


@pytest.mark.parametrize('config, message', [
    ('missing.conf', 'configuration file not found: missing.conf'),
    ('broken.conf', 'cannot read the configuration file broken.conf: File contains no section '
                    'headers.'),
], ids=['missing', 'not an ini file'])
def test_an_unreadable_config_file_is_one_line_and_status_2(tmp_path, ports, config, message):
    (tmp_path / 'broken.conf').write_text('db_path = x\n')
    process = subprocess.Popen(
        [sys.executable, '-m', 'kfchost', 'serve', '--config', config, '--port', str(ports[0])],
        cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        env=dict(os.environ, PYTHONPATH=ROOT))
    status, errors, stdout = refusal(process)
    assert (status, errors, stdout) == (2, ['kfchost serve: ' + message], '')
