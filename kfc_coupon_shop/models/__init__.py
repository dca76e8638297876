"""The business records of the meal-coupon shop; importing the package registers every model."""
from . import api_log, configs, kfc_coupon, kfc_product, kfc_user, sale_order   # noqa: F401
