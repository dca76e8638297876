"""Host module of `WxApiController` (WeChat integration)."""
import routeweave

from .namespace import bind_host_names

bind_host_names(globals())
WxApiController = routeweave.load_wx_api_controller_4(globals())
