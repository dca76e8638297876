"""How often one client address may call the anonymous routes that spend an outside quota or
load the coupon back-end: one table for the add-on's own buckets (``kfc.rate.bucket``) and for
an nginx in front of it, whose ``limit_req`` takes the same numbers:

    limit_req_zone $binary_remote_addr zone=<zone>:10m rate=<per_minute>r/m;
    location = <route> { limit_req zone=<zone> burst=<burst> nodelay; ... }

A client may send ``1 + burst`` requests at once, then one every ``60 / per_minute`` seconds
(a token bucket, as nginx counts). The routes of one zone share one bucket per address.
"""
import collections

Limit = collections.namedtuple('Limit', 'zone per_minute burst routes')

ROUTE_LIMITS = (
    # Tencent Map's geocoder: every call spends the map key's daily quota.
    Limit('geocoder', 6, 10, ('/api/post_city_name',)),
    # The coupon back-end's catalogue: every call is a request there.
    Limit('catalogue', 60, 30, ('/api/post_kfc_getcity', '/api/post_kfc_store',
                                '/api/post_kfc_store_lbs', '/api/post_menu_list')),
)

LIMIT_OF_ROUTE = {route: limit for limit in ROUTE_LIMITS for route in limit.routes}
