"""The outside facts of the shop's books as a running sandbox holds them: its WeChat Pay's
payments and refunds and its coupon back-end's orders, read from the control endpoints in the
shape the add-on's books checker takes (``kfc.books._kfc_breaches(outside)``). The chaos run,
the tests on two hosts and the stand-in's ``check --sandbox-url`` check the books with them."""
import requests

TIMEOUT = (5, 60)


def outside_facts(sandbox_url, timeout=TIMEOUT):
    """{"payments", "refunds", "backend_orders"} of the sandbox at ``sandbox_url``."""
    base = sandbox_url.rstrip('/')
    payments = _get(base + '/sandbox/wechatpay/payments', timeout)
    return {'payments': payments['transactions'], 'refunds': payments['refunds'],
            'backend_orders': _get(base + '/sandbox/coupon/orders', timeout)['orders']}


def _get(url, timeout):
    reply = requests.get(url, timeout=timeout)
    reply.raise_for_status()
    return reply.json()
