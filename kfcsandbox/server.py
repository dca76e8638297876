"""Run the sandbox on a loopback port in a background thread."""
import threading

from werkzeug.serving import WSGIRequestHandler, make_server

from .app import SandboxApp


class _QuietHandler(WSGIRequestHandler):
    def log_request(self, *args, **kwargs):
        pass


class SandboxServer:
    """The sandbox application on host:port (port 0: any free port), served by a thread.

        with SandboxServer() as sandbox:
            requests.get(sandbox.url + '/sandbox/')
    """

    def __init__(self, config=None, host='127.0.0.1', port=0, app=None, quiet=True):
        self.app = app or SandboxApp(config)
        self.host = host
        self.port = port
        self.quiet = quiet
        self._server = None
        self._thread = None

    @property
    def config(self):
        return self.app.config

    @property
    def state(self):
        return self.app.state

    @property
    def url(self):
        return 'http://%s:%d' % (self.host, self.port)

    def start(self):
        handler = _QuietHandler if self.quiet else WSGIRequestHandler
        self._server = make_server(self.host, self.port, self.app, threaded=True,
                                   request_handler=handler)
        self.port = self._server.server_port
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        name='kfcsandbox', daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._server is None:
            return
        self.state.release_faults()       # wake requests held by a "hang" fault
        self.state.cancel_timers()        # no redelivery outlives the sandbox
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()
        self._server = self._thread = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info):
        self.stop()
