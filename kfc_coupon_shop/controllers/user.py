"""Host module of `UserController` (user accounts)."""
import routeweave

from .namespace import bind_host_names

bind_host_names(globals())
UserController = routeweave.load_user_controller_3(globals())
