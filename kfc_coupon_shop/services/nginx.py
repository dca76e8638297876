"""The door in front of the shop's Odoo hosts: an nginx configuration made from ``limits``.

``site_config`` is what goes into nginx's ``http`` block (``/etc/nginx/conf.d/``): the request
and connection zones, the hosts as one upstream, and the server that limits, bounds and proxies;
``main_config`` wraps it into a whole configuration for an nginx of its own (a prefix folder,
no root paths), as ``./dev serve --odoo --hosts 2`` runs it.

Failover without duplicates: ``proxy_next_upstream`` stays nginx's default, ``error timeout``,
without ``non_idempotent``, so a request goes to the next host only when none of it reached the
first; a POST sent to a host that dies is answered 502, never sent again (an order made twice).
A host that failed ``MAX_FAILS`` requests within ``fail_timeout`` (10 s) is left out for as
long, then tried again.

What the door answers itself carries a JSON body as the add-on's replies do: 429 past a limit
(with ``Retry-After``), 413 past a route's body limit, 502, 503 and 504 when no host answered.
"""
import json
import math

from . import limits

# The back office's uploads (attachments, imports), which nginx's default of 1 MB would refuse.
BACKOFFICE_BODY = '64m'
# Longer than Odoo's limit_time_real (120 s): the door never gives up on a request that a host
# still works on; the host ends it first.
READ_TIMEOUT = 150

# A dead host refuses every connection at once; a host that lost one worker (its master starts
# another) fails only the requests that worker held: nginx's default of 1 would leave such a
# host out, and once each host lost a worker in 10 s, refuse every request for want of hosts.
MAX_FAILS = 3

DOOR_REPLIES = {
    413: '请求内容过大',
    502: '服务暂时不可用，请稍后重试',
    503: '服务暂时不可用，请稍后重试',
    504: '服务暂时不可用，请稍后重试',
}
PROXY_HEADERS = (
    # The page is served for its signed address, port included: $http_host, not $host.
    ('Host', '$http_host'),
    ('X-Forwarded-Host', '$http_host'),     # Odoo's proxy_mode applies the headers only with it
    ('X-Forwarded-For', '$remote_addr'),    # the client as nginx saw it, never one it claimed
    ('X-Forwarded-Proto', '$scheme'),
)


def body(code, message):
    """The door's reply text, as the add-on writes its replies (``json.dumps``)."""
    return json.dumps({'code': code, 'message': message})


def site_config(hosts, listen='127.0.0.1:8069', server_name='_'):
    """The ``http``-level configuration for ``hosts``: [(address, websocket address)], e.g.
    [('10.0.0.11:8069', '10.0.0.11:8072')]; nginx listens on ``listen``."""
    door = limits.DOOR_LIMIT
    lines = ['# The door of the shop, made from kfc_coupon_shop/services/limits.py.']
    for limit in (door,) + limits.ROUTE_LIMITS:
        lines.append('limit_req_zone $binary_remote_addr zone=%s:10m rate=%dr/m;'
                     % (limit.zone, limit.per_minute))
    lines += ['limit_conn_zone $binary_remote_addr zone=%s_connections:10m;' % door.zone,
              'limit_req_status 429;', 'limit_conn_status 429;', '']
    lines += _upstream('kfc_odoo', [http for http, _ in hosts])
    lines += _upstream('kfc_odoo_websocket', [websocket for _, websocket in hosts])
    lines += ['map $http_upgrade $connection_upgrade {', '    default upgrade;',
              "    '' close;", '}', '']
    server = ['listen %s;' % listen, 'server_name %s;' % server_name,
              'proxy_read_timeout %ds;' % READ_TIMEOUT]
    server += ['proxy_set_header %s %s;' % header for header in PROXY_HEADERS]
    server += ['error_page %d = @door_%d;' % (code, code) for code in sorted(DOOR_REPLIES)]
    server += ['error_page 429 = @too_many_requests;', 'set $retry_after 1;', '']
    server += _location('/', BACKOFFICE_BODY)
    server += _location('/websocket', BACKOFFICE_BODY, [
        # a location with headers of its own inherits none
        *('proxy_set_header %s %s;' % header for header in PROXY_HEADERS),
        'proxy_http_version 1.1;', 'proxy_set_header Upgrade $http_upgrade;',
        'proxy_set_header Connection $connection_upgrade;'], upstream='kfc_odoo_websocket')
    server += _location('/api/', limits.FORM_BODY_LIMIT, _door_limits(door))
    for route in sorted(limits.BODY_LIMITS.keys() | limits.LIMIT_OF_ROUTE.keys()):
        size = limits.BODY_LIMITS.get(route, limits.FORM_BODY_LIMIT)
        if route in limits.BACKOFFICE_ROUTES or route in limits.NOTIFY_ROUTES:
            server += _location('= ' + route, size)
        elif route in limits.LIMIT_OF_ROUTE:
            server += _location('= ' + route, size,
                                _door_limits(door, limits.LIMIT_OF_ROUTE[route]))
        elif size != limits.FORM_BODY_LIMIT:
            server += _location('= ' + route, size, _door_limits(door))
    for code, message in sorted(DOOR_REPLIES.items()):
        server += _reply('@door_%d' % code, code, message)
    server += _reply('@too_many_requests', 429, limits.TOO_MANY_REQUESTS,
                     ['add_header Retry-After $retry_after always;'])
    return '\n'.join(lines + ['server {'] + _indent(server) + ['}', ''])


def main_config(site, prefix):
    """A whole configuration around ``site`` for an nginx run with ``-p prefix``: its pid, logs
    and temporary files under ``prefix``."""
    temp = ''.join('    %s_temp_path %s/tmp/%s;\n' % (kind, prefix, kind)
                   for kind in ('client_body', 'proxy', 'fastcgi', 'uwsgi', 'scgi'))
    return ('worker_processes auto;\npid %(prefix)s/nginx.pid;\n'
            'error_log %(prefix)s/error.log warn;\n'
            'events {\n    worker_connections 4096;\n}\n'
            'http {\n    access_log %(prefix)s/access.log;\n%(temp)s'
            '    default_type application/octet-stream;\n%(site)s}\n'
            % {'prefix': prefix, 'temp': temp, 'site': ''.join(
                '    %s\n' % line if line else '\n' for line in site.splitlines())})


def _upstream(name, addresses):
    return ['upstream %s {' % name] + ['    server %s max_fails=%d;' % (address, MAX_FAILS)
                                       for address in addresses] + ['}', '']


def _door_limits(door, metered=None):
    """The limits of an anonymous route: the door's, and those of its zone when it has one."""
    lines = ['limit_req zone=%s burst=%d nodelay;' % (limit.zone, limit.burst)
             for limit in (door, metered) if limit]
    lines.append('limit_conn %s_connections %d;' % (door.zone, limits.DOOR_CONNECTIONS))
    if metered:
        lines.append('set $retry_after %d;' % math.ceil(60 / metered.per_minute))
    return lines


def _location(match, max_body, lines=(), upstream='kfc_odoo'):
    return ['location %s {' % match] + _indent(
        ['client_max_body_size %s;' % max_body, *lines, 'proxy_pass http://%s;' % upstream]) \
        + ['}']


def _reply(name, code, message, lines=()):
    return ['location %s {' % name] + _indent(
        ['default_type application/json;', *lines,
         "return %d '%s';" % (code, body(code, message))]) + ['}']


def _indent(lines):
    return ['    ' + line if line else line for line in lines]
