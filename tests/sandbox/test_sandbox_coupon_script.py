"""Scripted back-end replies and the log of the bodies the back-end received."""
import json

import requests

CITY_PATH = '/KFCCore.asmx/KFC_GetCity'


def _control(sandbox, endpoint, **body):
    return requests.post(sandbox.url + '/sandbox/' + endpoint, json=body)


def _payloads(sandbox):
    return requests.get(sandbox.url + '/sandbox/coupon/payloads').json()['payloads']


def test_scripted_replies_come_in_order_then_the_service_answers_again(sandbox):
    scripted = {'d': {'code': 7, 'msg': '维护中', 'data': ''}}
    reply = _control(sandbox, 'coupon/script', path=CITY_PATH,
                     replies=[scripted, None, {'no': 'envelope'}])
    assert reply.json() == {'queued': 3}
    answers = [requests.post(sandbox.url + CITY_PATH, json={'token': 'stale'}) for _ in range(4)]
    assert [answer.status_code for answer in answers] == [200] * 4
    assert answers[0].json() == scripted
    assert answers[1].json()['d']['code'] == -2          # served as usual: unknown token
    assert answers[2].json() == {'no': 'envelope'}
    assert answers[3].json()['d']['code'] == -2
    # Another path is not affected by a script.
    _control(sandbox, 'coupon/script', path=CITY_PATH, replies=[scripted])
    other = requests.post(sandbox.url + '/KFCCore.asmx/KFC_GetStoreByLbs', json={'token': 'x'})
    assert other.status_code == 500       # a missing web-method argument, as usual


def test_payload_log_keeps_each_body_as_sent_and_reset_clears_it(sandbox):
    body = '{"token": "T", "ticket": "", "deviceID": "", "名": "值"}'
    requests.post(sandbox.url + CITY_PATH, data=body.encode('utf-8'),
                  headers={'Content-Type': 'application/json'})
    assert _payloads(sandbox) == [{'path': CITY_PATH, 'body': body}]
    _control(sandbox, 'coupon/script', path=CITY_PATH, replies=[None])
    _control(sandbox, 'reset')
    assert _payloads(sandbox) == []
    answer = requests.post(sandbox.url + CITY_PATH, json={'token': 'x'})
    assert answer.json()['d']['code'] == -2      # the script did not outlive the reset
    assert [json.loads(p['body']) for p in _payloads(sandbox)] == [{'token': 'x'}]


def test_script_refuses_a_missing_path_or_reply_list(sandbox):
    assert _control(sandbox, 'coupon/script', replies=[]).status_code == 400
    assert _control(sandbox, 'coupon/script', path=CITY_PATH, replies={}).status_code == 400
