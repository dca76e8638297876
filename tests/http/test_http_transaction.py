"""One transaction per request: commit, rollback, row locks and reruns after concurrency failures."""
import collections
import threading
import time

import pytest
import requests
import werkzeug.exceptions

import kfchost.http as http
import kfchost.http.transaction as transaction
from kfchost.http import request
from kfchost.orm.sql_db import ConcurrencyFailure

attempts = collections.Counter()
spans = []
snapshot_taken = threading.Event()
other_committed = threading.Event()


def insert(name):
    request.env.cr.execute("INSERT INTO item (name) VALUES (%s)", [name])


class Store(http.Controller):
    @http.route('/api/write_then_fail', auth='public', cors="*", csrf=False, methods=['POST'])
    def write_then_fail(self, **post):
        insert(post['name'])
        raise RuntimeError('after the write')

    @http.route('/api/write_then_abort', auth='public', cors="*", csrf=False, methods=['POST'])
    def write_then_abort(self, **post):
        insert(post['name'])
        raise werkzeug.exceptions.BadRequest('refused after the write')

    @http.route('/api/write_then_refuse', auth='public', cors="*", csrf=False, methods=['POST'])
    def write_then_refuse(self, **post):
        insert(post['name'])
        return http.Response('{"code": 400}', status=400, content_type='application/json')

    @http.route('/api/write_null', auth='public', csrf=False, methods=['POST'])
    def write_null(self, **post):
        insert(post['name'])
        insert(None)  # breaks NOT NULL
        return 'unreachable'

    @http.route('/api/locked_increment', auth='public', csrf=False, methods=['POST'])
    def locked_increment(self, **post):
        cr = request.env.cr
        cr.execute("SELECT value FROM item WHERE id = %s FOR UPDATE", [1])
        value = cr.fetchone()[0]
        start = time.monotonic()
        time.sleep(0.25)
        cr.execute("UPDATE item SET value = %s WHERE id = %s", [value + 1, 1])
        spans.append((start, time.monotonic()))
        return str(value + 1)

    @http.route('/api/flaky', auth='public', csrf=False, methods=['POST'])
    def flaky(self, **post):
        attempts['flaky'] += 1
        insert(f"try {attempts['flaky']} of {post['failures']}")
        if attempts['flaky'] <= int(post['failures']):
            raise ConcurrencyFailure('database is locked')
        return 'done'

    @http.route('/api/read_then_lock', auth='public', csrf=False, methods=['POST'])
    def read_then_lock(self, **post):
        attempts['stale'] += 1
        cr = request.env.cr
        cr.execute("SELECT value FROM item WHERE id = %s", [1])  # the snapshot starts here
        snapshot_taken.set()
        other_committed.wait(10)
        cr.execute("SELECT value FROM item WHERE id = %s FOR UPDATE", [1])
        value = cr.fetchone()[0]
        cr.execute("UPDATE item SET value = %s WHERE id = %s", [value + 10, 1])
        return str(value + 10)

    @http.route('/api/read_then_write_under_load', auth='public', csrf=False, methods=['POST'])
    def read_then_write_under_load(self, **post):
        attempts['loaded'] += 1
        cr = request.env.cr
        cr.execute("SELECT value FROM item WHERE id = %s", [1])  # the snapshot starts here
        # Meanwhile another request commits a write, on every try, when it can.
        other = threading.Thread(target=other_writes[0])
        other.start()
        other.join(0.5)
        cr.execute("UPDATE item SET value = value + 10 WHERE id = %s", [1])
        return str(attempts['loaded'])


other_writes = []


@pytest.fixture
def waits(monkeypatch):
    """Reruns without the random back-off; records the try numbers they waited after."""
    seen = []
    monkeypatch.setattr(transaction, 'retry_wait', lambda tryno: seen.append(tryno) or 0.0)
    attempts.clear()
    return seen


@pytest.fixture
def counter_row(query):
    query("INSERT INTO item (id, name, value) VALUES (1, 'counter', 0)")


def test_exception_rolls_back_and_a_returned_refusal_commits(serve, query):
    url = serve(Store)
    failed = requests.post(url + '/api/write_then_fail', data={'name': 'lost'})
    assert failed.status_code == 500
    assert failed.content == werkzeug.exceptions.InternalServerError().get_body().encode()
    assert 'Access-Control-Allow-Origin' not in failed.headers

    aborted = requests.post(url + '/api/write_then_abort', data={'name': 'also lost'})
    assert aborted.status_code == 400

    refused = requests.post(url + '/api/write_then_refuse', data={'name': 'kept'})
    assert (refused.status_code, refused.text) == (400, '{"code": 400}')
    assert refused.headers['Access-Control-Allow-Origin'] == '*'

    assert query("SELECT name FROM item") == [('kept',)]


def test_constraint_violation_is_a_bad_request_and_rolls_back(serve, query):
    url = serve(Store)
    reply = requests.post(url + '/api/write_null', data={'name': 'first'})
    assert reply.status_code == 400
    assert 'The operation cannot be completed: NOT NULL constraint failed: item.name' in reply.text
    assert query("SELECT count(*) FROM item") == [(0,)]


def test_rows_locked_for_update_are_served_one_after_the_other(serve, query, counter_row):
    url = serve(Store)
    spans.clear()
    replies = []
    threads = [threading.Thread(target=lambda: replies.append(
        requests.post(url + '/api/locked_increment').text)) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    assert sorted(replies) == ['1', '2']  # the second saw the first one's write
    first, second = sorted(spans)
    assert second[0] >= first[1]  # the second took the lock after the first had finished
    assert query("SELECT value FROM item WHERE id = 1") == [(2,)]


def test_concurrency_failure_reruns_the_whole_request(serve, query, waits):
    url = serve(Store)
    reply = requests.post(url + '/api/flaky', data={'failures': '2'})
    assert (reply.status_code, reply.text) == (200, 'done')
    assert attempts['flaky'] == 3
    assert waits == [1, 2]
    assert query("SELECT name FROM item") == [('try 3 of 2',)]  # the failed tries left nothing


def test_reruns_stop_after_five_tries(serve, query, waits):
    url = serve(Store)
    reply = requests.post(url + '/api/flaky', data={'failures': '99'})
    assert reply.status_code == 500
    assert attempts['flaky'] == http.MAX_TRIES_ON_CONCURRENCY_FAILURE == 5
    assert query("SELECT count(*) FROM item") == [(0,)]


def test_stale_snapshot_losing_the_lock_race_is_rerun(serve, query, registry, counter_row, waits):
    url = serve(Store)
    snapshot_taken.clear()
    other_committed.clear()
    replies = []
    racer = threading.Thread(target=lambda: replies.append(requests.post(url + '/api/read_then_lock')))
    racer.start()
    assert snapshot_taken.wait(10)
    with registry.cursor() as cr:  # another transaction writes while the request holds its snapshot
        cr.execute("UPDATE item SET value = value + 1 WHERE id = 1")
    other_committed.set()
    racer.join()

    assert (replies[0].status_code, replies[0].text) == (200, '11')
    assert attempts['stale'] == 2
    assert query("SELECT value FROM item WHERE id = 1") == [(11,)]


def test_a_rerun_holds_the_write_lock_and_cannot_lose_again(serve, query, registry, counter_row,
                                                            waits):
    def other_write():
        with registry.cursor() as cr:
            cr.execute("UPDATE item SET value = value + 1 WHERE id = 1")
    other_writes[:] = [other_write]
    url = serve(Store)
    reply = requests.post(url + '/api/read_then_write_under_load')
    assert (reply.status_code, reply.text) == (200, '2')
    time.sleep(0.2)         # the write held back by the rerun follows it
    assert query("SELECT value FROM item WHERE id = 1") == [(12,)]
