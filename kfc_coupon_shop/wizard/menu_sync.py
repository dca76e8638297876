"""The catalogue synchronised from a store's menu at the coupon back-end:
``kfc.product._kfc_sync_menu``, as the back-office route ``post_local_menu_list`` runs it."""
import requests

from odoo import _, fields, models
from odoo.exceptions import UserError

from ..services.china_time import china_today
from ..services.coupon_backend import BackendRefusal
from ..services.redaction import redact
from ..tools.web_client import CLOSE, notification

# What a menu that cannot be had raises: no answer, no menu in the answer, a dish without a
# whole price, the back-end refusing the account or no account configured.
NO_MENU = (requests.RequestException, ValueError, LookupError, TypeError, BackendRefusal)


class KfcProductMenuSync(models.TransientModel):
    _name = 'kfc.product.menu.sync'
    _description = "Catalogue synchronised from a store's menu"

    store_code = fields.Char(required=True,
                             help="The store's code at the coupon back-end, e.g. SH3001.")
    date = fields.Date(string='Menu of', required=True, default=lambda self: china_today())

    def action_sync(self):
        self.ensure_one()
        try:
            added = self.env['kfc.product']._kfc_sync_menu(self.store_code.strip(),
                                                          fields.Date.to_string(self.date))
        except NO_MENU as exc:      # the route raises too; here the manager reads why
            raise UserError(_('The coupon back-end gave no menu of store %(store)s: %(why)s',
                              store=self.store_code, why=redact(exc))) from None
        if not added:
            return notification(_('The catalogue already holds every dish of store %s.',
                                  self.store_code), 'info', CLOSE)
        return notification(_('%(count)d dishes of store %(store)s added to the catalogue, '
                              'without a category: give each one to show it on the menu.',
                              count=len(added), store=self.store_code), 'success', CLOSE)
