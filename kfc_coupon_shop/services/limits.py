"""The shop's limits in one table: how often one client address may call the anonymous routes,
and how large a body each route reads. The add-on applies them itself (``kfc.rate.bucket``,
``ir.http``); an nginx in front of its hosts takes the same numbers (``services.nginx``):

    limit_req_zone $binary_remote_addr zone=<zone>:10m rate=<per_minute>r/m;
    location = <route> { limit_req zone=<zone> burst=<burst> nodelay; ... }

A client may send ``1 + burst`` requests at once, then one every ``60 / per_minute`` seconds
(a token bucket, as nginx counts). The routes of one zone share one bucket per address.
"""
import collections

Limit = collections.namedtuple('Limit', 'zone per_minute burst routes')

# The body of a 429, from the add-on and from the door alike.
TOO_MANY_REQUESTS = '请求过于频繁，请稍后再试'

ROUTE_LIMITS = (
    # Tencent Map's geocoder: every call spends the map key's daily quota.
    Limit('geocoder', 6, 10, ('/api/post_city_name',)),
    # The coupon back-end's catalogue: every call is a request there.
    Limit('catalogue', 60, 30, ('/api/post_kfc_getcity', '/api/post_kfc_store',
                                '/api/post_kfc_store_lbs', '/api/post_menu_list')),
)

LIMIT_OF_ROUTE = {route: limit for limit in ROUTE_LIMITS for route in limit.routes}

# Routes that act for the staff (a real back-end order, a message to any openid, the back-end's
# order results, the catalogue written): answered only to the back office's networks.
BACKOFFICE_ROUTES = frozenset({
    '/api/kfc_auto_order', '/api/post_pick_message', '/api/kfc_test', '/api/post_local_menu_list',
})
# WeChat Pay's notifications: never refused for their rate, or a payment waits on redelivery.
NOTIFY_ROUTES = frozenset({'/api/wechat_pay_notify', '/api/wechat_refund_notify'})

# Only at the door (nginx), every anonymous /api/ route but those two kinds: one address's
# requests, and its requests in progress at once. A page polls an order at most every 2 s and
# starts with a chain of about ten calls; a carrier network puts many customers behind one
# address (as the coupon cooldown counts): the budget is some forty pages polling at once, the
# burst some thirty pages starting at once.
DOOR_LIMIT = Limit('api', 1200, 300, ())
DOOR_CONNECTIONS = 100

JSON_BODY_LIMIT = 64 * 1024
FORM_BODY_LIMIT = 16 * 1024
# The largest body (bytes) each route reads: JSON bodies (orders, WeChat Pay's notifications,
# the page's error log) 64 KB, forms 16 KB. A route missing here gets a form's limit.
BODY_LIMITS = {
    '/api/create_sale_order': JSON_BODY_LIMIT,
    '/api/post_coupon_sale_order': JSON_BODY_LIMIT,
    '/api/post_front_error_log': JSON_BODY_LIMIT,
    '/api/wechat_jsapi_payment': JSON_BODY_LIMIT,
    '/api/wechat_pay_notify': JSON_BODY_LIMIT,
    '/api/wechat_refund_notify': JSON_BODY_LIMIT,
    **dict.fromkeys([
        '/api/kfc_auto_order', '/api/kfc_test', '/api/post_change_sale_order_state',
        '/api/post_city_name', '/api/post_exchange_coupon', '/api/post_keyword_config',
        '/api/post_kfc_getcity', '/api/post_kfc_store', '/api/post_kfc_store_lbs',
        '/api/post_local_menu_list', '/api/post_menu_list', '/api/post_order_is_paid',
        '/api/post_pay_result', '/api/post_pick_message', '/api/post_sale_order_list',
        '/api/post_sale_order_list_line', '/api/post_search_user_coupon',
        '/api/post_user_info', '/api/post_user_login', '/api/post_user_token',
        '/api/post_wx_config', '/api/wechat_jsapi_refund',
    ], FORM_BODY_LIMIT),
}
