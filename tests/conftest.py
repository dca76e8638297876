"""The suites run the shop's add-on on the stand-in host, which answers the add-on's imports
from ``odoo`` (``odoo.addons.kfc_coupon_shop`` is the add-on folder at the project root)."""
from kfchost import odoo_shim

odoo_shim.install()
