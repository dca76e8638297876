"""The threaded werkzeug server that serves an application."""
import signal
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


def serve_until_stopped(server, on_signal=None):
    """Serve until SIGTERM or SIGINT, then stop taking connections and let the requests in
    progress finish.

    The handlers are installed explicitly: a shell starts a background job with SIGINT ignored,
    and Python would then never raise KeyboardInterrupt. ``on_signal(signum)`` is told first.
    Must run in the main thread, where Python delivers signals."""
    def stop(signum, frame):
        if on_signal:
            on_signal(signum)
        # shutdown() waits for serve_forever() to return, which this thread is running.
        threading.Thread(target=server.shutdown, name='http-shutdown', daemon=True).start()

    # werkzeug makes its request threads daemons, which closing the server does not wait for.
    server.daemon_threads = False
    previous = {signum: signal.signal(signum, stop) for signum in (signal.SIGTERM, signal.SIGINT)}
    try:
        server.serve_forever()          # closes the server, joining its requests, on return
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


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
