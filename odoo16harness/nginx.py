"""An nginx of its own (Debian's ``nginx``) in front of Odoo hosts: a prefix folder holding its
configuration, pid, logs and temporary files, run in the foreground in a session of its own.

    door = Nginx('var/door', config_text, port=8069).start()    # waits until it accepts
    door.stop()
"""
import os
import shutil
import socket
import subprocess
import time

from requests.adapters import HTTPAdapter

from .runner import stop_group

NGINX = '/usr/sbin/nginx'


def nginx_binary():
    """The nginx to run, or None when it is not installed."""
    return shutil.which('nginx') or (NGINX if os.access(NGINX, os.X_OK) else None)


class Nginx:
    def __init__(self, prefix, config, port, host='127.0.0.1'):
        self.prefix = os.path.abspath(prefix)
        self.config = config
        self.port, self.host = port, host
        self.config_file = os.path.join(self.prefix, 'nginx.conf')
        self.error_log = os.path.join(self.prefix, 'error.log')
        self.process = None

    @property
    def url(self):
        return 'http://%s:%d' % (self.host, self.port)

    def start(self, timeout=15):
        binary = nginx_binary()
        if binary is None:
            raise FileNotFoundError("nginx is not installed (Debian's nginx)")
        # the workers run as an unprivileged user when started as root: they must reach it
        os.makedirs(os.path.join(self.prefix, 'tmp'), mode=0o755, exist_ok=True)
        with open(self.config_file, 'w', encoding='utf-8') as handle:
            handle.write(self.config)
        command = [binary, '-p', self.prefix, '-c', self.config_file, '-e', self.error_log,
                   '-g', 'daemon off;']
        checked = subprocess.run(command + ['-t'], capture_output=True, text=True)
        if checked.returncode:
            raise RuntimeError('nginx refused %s:\n%s' % (self.config_file, checked.stderr))
        self.process = subprocess.Popen(command, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError('nginx exited with %s; see %s'
                                   % (self.process.returncode, self.error_log))
            with socket.socket() as probe:
                if probe.connect_ex((self.host, self.port)) == 0:
                    return self
            time.sleep(0.05)
        self.stop()
        raise TimeoutError('nginx did not listen on %s within %s s' % (self.url, timeout))

    def stop(self, timeout=15):
        """SIGTERM (nginx's fast stop), SIGKILL if it hangs."""
        if self.process is None or self.process.poll() is not None:
            return
        stop_group(self.process, timeout)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info):
        self.stop()


class SourceAddress(HTTPAdapter):
    """Connections from a given loopback address (mount it on a requests session): the
    door's per-address limits count each address apart."""

    def __init__(self, address):
        self.address = address
        super().__init__()

    def init_poolmanager(self, *args, **kwargs):
        super().init_poolmanager(*args, source_address=(self.address, 0), **kwargs)
