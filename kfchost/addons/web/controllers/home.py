"""web's Home controller, whose "/" add-ons extend by inheriting it (``odoo.addons.web.
controllers.home.Home``). Odoo's "/" sends a visitor on to its web client; the stand-in has
none, so its "/" is not found."""
from werkzeug.exceptions import NotFound

from odoo import http


class Home(http.Controller):

    @http.route('/', type='http', auth='none')
    def index(self, s_action=None, db=None, **kw):
        raise NotFound()
