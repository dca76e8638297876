"""Who a request comes from: the client's address as the server sees it."""
import ipaddress


def client_address(httprequest):
    """The client's address (``ipaddress`` object), an IPv4 client of an IPv6 socket as IPv4;
    None when the request names none. In proxy mode it is the one the proxy reports (Odoo
    applies X-Forwarded-For before the route), otherwise the peer's."""
    try:
        address = ipaddress.ip_address(httprequest.remote_addr or '')
    except ValueError:
        return None
    return getattr(address, 'ipv4_mapped', None) or address


def client_key(httprequest):
    """The text that counts a client in the limits: its IPv4 address, or the /64 network of an
    IPv6 one (a customer's line has a whole /64 to pick addresses from); "unknown" without one."""
    address = client_address(httprequest)
    if address is None:
        return 'unknown'
    if address.version == 6:
        return str(ipaddress.ip_network('%s/64' % address, strict=False))
    return str(address)
