"""The back office's wizards: a staff refund, the settlement run by hand, the catalogue
synchronised from a store's menu, a batch of coupons issued. Each calls the rule on its model,
as the routes and the scheduled settlement do."""
from . import coupon_batch_issue, menu_sync, settle, staff_refund  # noqa: F401
