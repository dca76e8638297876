"""The official account's access token: kept by the host for its lifetime and shared by the
pick-up messages, the back office's probe and the JS-SDK configuration; renewed when WeChat no
longer takes it, and fetched once however many requests need it at the same moment."""
from concurrent.futures import ThreadPoolExecutor

TOKEN_PATH = '/cgi-bin/token'


def token_fetches(host):
    return sum(entry['path'] == TOKEN_PATH for entry in host.inspect('requests')['requests'])


def send_probe(host, openid):
    reply = host.post('post_pick_message', data={'openid': openid})
    assert reply.status_code == 200 and reply.json()['errcode'] == 0, reply.text
    return reply


def test_one_token_serves_every_message_until_wechat_refuses_it(host):
    openid = host.control('wechat/authorize', nickname='取餐人')['openid']
    for _ in range(3):
        send_probe(host, openid)
    assert token_fetches(host) == 1
    # A fetch elsewhere retired it: WeChat answers 40001, the token is renewed, the message sent.
    host.control('wechat/expire_tokens')
    send_probe(host, openid)
    assert token_fetches(host) == 2
    assert len(host.inspect('wechat/messages')['messages']) == 4
    # The JS-SDK configuration asks for its ticket with the same token.
    assert host.post('post_wx_config').json()['code'] == 200
    assert token_fetches(host) == 2


def test_concurrent_renewals_fetch_once(host):
    openid = host.control('wechat/authorize', nickname='取餐人')['openid']
    # WeChat is slow with the token: the other requests want it meanwhile.
    host.control('fault', service='wechat', mode='hang', seconds=1, times=1, path=TOKEN_PATH)
    with ThreadPoolExecutor(4) as pool:
        list(pool.map(lambda _: send_probe(host, openid), range(4)))
    assert token_fetches(host) == 1
