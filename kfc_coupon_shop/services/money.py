"""Money as the records keep it and as it goes out: the records hold yuan in Monetary fields of
the shop's currency (CNY, two decimals), WeChat Pay and the kitchen count whole fen. These two
are the only conversions between them."""

# The shop's currency: Odoo's own record of it, which the add-on's data activates.
CURRENCY_XMLID = 'base.CNY'


def yuan_to_fen(yuan):
    """Whole fen of an amount in yuan as a record holds it (a float of two decimals)."""
    return int(round(yuan * 100))


def fen_to_yuan(fen):
    """Yuan, as a record holds them, of a whole number of fen."""
    return fen / 100.0
