"""Host module of `OrderController` (orders)."""
import routeweave

from .namespace import bind_host_names

bind_host_names(globals())
OrderController = routeweave.load_order_controller_2(globals())
