"""Host module of `KfcController` (store catalogue)."""
import routeweave

from .namespace import bind_host_names

bind_host_names(globals(), clock_classes=True)
KfcController = routeweave.load_kfc_controller_1(globals())
