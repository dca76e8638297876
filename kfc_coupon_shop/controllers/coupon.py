"""Host module of `CouponController` (back-office routes)."""
import routeweave

from .namespace import bind_host_names

bind_host_names(globals())
CouponController = routeweave.load_coupon_controller_0(globals())
