"""The WeChat H5 meal-coupon shop: business records, host functions and the host modules that
load the shop's API controllers from routeweave."""
from . import controllers, models, wizard
