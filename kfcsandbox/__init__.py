"""Local simulators of the outside services: WeChat, WeChat Pay, Tencent Map, the coupon back-end.

    from kfcsandbox import SandboxConfig, SandboxServer
    sandbox = SandboxServer(SandboxConfig()).start()   # 127.0.0.1, a free port
    ... sandbox.url, sandbox.config.host_settings(), sandbox.state ...
    sandbox.stop()
"""
from .app import SandboxApp
from .config import SandboxConfig
from .server import SandboxServer

__all__ = ['SandboxApp', 'SandboxConfig', 'SandboxServer']
