"""The business records of the meal-coupon shop and the rules on them; importing the package
registers every model."""
from . import (api_log, configs, ir_http, kfc_coupon, kfc_coupon_batch,  # noqa: F401
               kfc_product, kfc_user, kfc_books, kfc_dashboard, rate_bucket, reconciliation,
               redeem_cooldown, res_config_settings,
               res_users, sale_order, sale_order_line, sale_refund_order, settlement_run,
               staff_event)
