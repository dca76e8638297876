"""The business records of the meal-coupon shop and the rules on them; importing the package
registers every model."""
from . import (api_log, configs, kfc_coupon, kfc_product, kfc_user, sale_order,  # noqa: F401
               sale_order_line, sale_refund_order)
