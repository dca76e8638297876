"""Stand-in host platform: serves the shop's Odoo add-on (kfc_coupon_shop) over an
Odoo-compatible HTTP layer and records layer on SQLite."""
