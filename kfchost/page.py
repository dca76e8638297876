"""What ``kfchost serve`` does for the customer's page: say where it is, and start a sandbox
without the JS-SDK ticket an earlier one issued."""
from kfchost import addon
from kfchost.orm import api


def page_line(host, port):
    """The line naming the page's address, with a warning when this server is not there."""
    page = addon.submodule('controllers.page')
    url = page.page_url()
    if page.is_page_host('%s:%d' % (host, port)):
        return "the customer's page: %s" % url
    return ("the customer's page is %s (frontend_page_url of the deployment), not on this "
            "server: its JS-SDK configuration is signed for that address" % url)


def forget_jsapi_ticket(registry):
    """A new sandbox knows no ticket of an earlier run: the next JS-SDK configuration fetches
    a fresh one rather than signing with a cached one the sandbox would refuse."""
    with registry.cursor() as cr:
        api.Environment(cr, api.SUPERUSER_ID, {})['ir.config_parameter'].sudo().set_param(
            'js_api_timestamp1', False)
