"""The threaded werkzeug server that serves an application."""
import threading

import werkzeug.serving


def make_server(app, host='127.0.0.1', port=0):
    """A threaded werkzeug server for ``app``, not yet serving; port 0 picks a free port."""
    return werkzeug.serving.make_server(host, port, app, threaded=True)


def serve(app, host, port):
    """Serve ``app`` until interrupted."""
    server = make_server(app, host, port)
    try:
        server.serve_forever()
    finally:
        server.server_close()


def start_server(app, host='127.0.0.1', port=0):
    """Serve ``app`` in a daemon thread; stop it with ``stop_server``. Returns the server,
    whose ``server_port`` is the bound port."""
    server = make_server(app, host, port)
    # A short poll interval lets stop_server return quickly.
    thread = threading.Thread(target=server.serve_forever, kwargs={'poll_interval': 0.05},
                              name=f'http-{server.server_port}', daemon=True)
    thread.start()
    server.thread = thread
    return server


def stop_server(server):
    server.shutdown()
    server.server_close()
    server.thread.join()
