"""An Odoo-compatible records layer over SQLite."""
