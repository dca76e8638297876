"""The one WSGI application serving every simulated service (their paths do not collide)."""
import logging
import socket
import traceback

from werkzeug.exceptions import HTTPException
from werkzeug.routing import Map, Rule
from werkzeug.wrappers import Request, Response

from .config import SandboxConfig
from .control import ControlService
from .coupon_backend import CouponBackendService, envelope
from .images import ImageHostService
from .replies import json_response, request_id, wechat_error
from .state import SandboxState
from .tencent_map import TencentMapService
from .wechat import SNS_TYPE, WechatService
from .wechat_client import WechatClientService
from .wechatpay import WechatPayService

log = logging.getLogger(__name__)


def service_error(service, path):
    """The error a service answers when it is having a bad day, in its own shape."""
    if service == 'wechat':
        return wechat_error(-1, 'system error', SNS_TYPE if path.startswith('/sns/') else
                            'application/json; encoding=utf-8')
    if service == 'wechatpay':
        return json_response({'code': 'SYSTEM_ERROR', 'message': '系统错误'}, 500,
                             headers={'Request-ID': request_id()})
    if service == 'tencent_map':
        return json_response({'status': 120, 'message': '此key每秒请求量已达到上限',
                              'request_id': request_id()})
    if service == 'wechat_client':      # the JS-SDK's own calls fail as a call of it does
        return Response('system error', status=500, content_type='text/plain')
    if path.endswith('.aspx'):
        return json_response({'code': 500, 'msg': '系统繁忙，请稍后再试'},
                             content_type='text/html; charset=utf-8')
    return envelope(-1, msg='系统繁忙，请稍后再试')


def drop_connection(environ, start_response):
    """A WSGI answer that is none: the connection is closed before a byte of a reply is sent
    (the server takes the ConnectionAbortedError for a client that went away)."""
    connection = environ.get('werkzeug.socket')
    if connection is not None:
        connection.shutdown(socket.SHUT_RDWR)
    raise ConnectionAbortedError('the sandbox dropped the connection')


class SandboxApp:
    def __init__(self, config=None):
        self.config = config or SandboxConfig()
        self.state = SandboxState(self.config)
        self.wechat = WechatService(self.state)
        self.wechatpay = WechatPayService(self.state)
        self.tencent_map = TencentMapService(self.state)
        self.coupon = CouponBackendService(self.state)
        self.wechat_client = WechatClientService(self.state, self.wechat, self.wechatpay)
        self.images = ImageHostService(self.state)
        self.control = ControlService(self.state, self.wechat, self.wechatpay, self.coupon,
                                      self.wechat_client)
        self._handlers = {}
        rules = []
        for service in (self.wechat, self.wechatpay, self.tencent_map, self.coupon,
                        self.wechat_client, self.images, self.control):
            for path, methods, handler in service.routes():
                endpoint = '%s.%s' % (service.name, handler.__name__)
                self._handlers[endpoint] = (service.name, handler)
                rules.append(Rule(path, methods=methods, endpoint=endpoint))
        self.url_map = Map(rules)

    def __call__(self, environ, start_response):
        return self.dispatch(Request(environ))(environ, start_response)

    def dispatch(self, request):
        try:
            endpoint, values = self.url_map.bind_to_environ(request.environ).match()
        except HTTPException as error:
            return error
        service, handler = self._handlers[endpoint]
        fault = None
        if service != 'control':
            self.state.record_request(service, request)
            fault = self.state.take_fault(service, request.path)
            if fault is not None and fault.mode in fault.EARLY:
                faulty = self._apply_fault(fault, service, request.path)
                if faulty is not None:
                    return faulty
        try:
            response = handler(request, **values)
        except Exception:  # a simulator bug must show, not hang the client
            log.error('sandbox handler %s failed:\n%s', endpoint, traceback.format_exc())
            return Response('sandbox internal error', status=500, content_type='text/plain')
        if fault is not None and fault.mode not in fault.EARLY:
            return self._apply_late_fault(fault, service, request.path, response)
        return response

    def _apply_late_fault(self, fault, service, path, response):
        """The request took effect; what the client gets back does not say so."""
        if fault.mode == 'late_drop':
            return drop_connection
        if fault.mode == 'late_hang':
            fault.released.wait(fault.seconds)
            return response
        if fault.mode == 'forge':
            if service != 'wechatpay':
                return response
            return self.wechatpay.forgery.forge(response, fault.alter)
        if service == 'wechatpay':
            return service_error(service, path)
        status = fault.status or 500
        return Response('<html><body><h1>%d</h1></body></html>' % status, status=status,
                        content_type='text/html')

    def _apply_fault(self, fault, service, path):
        if fault.mode == 'hang':
            fault.released.wait(fault.seconds)
            return None
        if fault.mode == 'reply':
            return json_response(fault.body, status=fault.status or 200)
        if fault.mode == 'http':
            status = fault.status or 502
            return Response('<html><body><h1>%d</h1></body></html>' % status, status=status,
                            content_type='text/html')
        return service_error(service, path)
