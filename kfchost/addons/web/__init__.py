"""The stand-in's ``web``: only what add-ons extend of Odoo's web add-on (its Home controller).
The stand-in has no web client."""
from . import controllers
