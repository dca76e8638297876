"""Run the sandbox alone: python -m kfcsandbox [--port N]. Prints where it listens."""
import argparse
import time

from .config import SandboxConfig
from .server import SandboxServer


def main(argv=None):
    parser = argparse.ArgumentParser(prog='python -m kfcsandbox', description=__doc__)
    parser.add_argument('--port', type=int, default=0, help='port on 127.0.0.1 (0: any free)')
    parser.add_argument('--verbose', action='store_true', help='log every request')
    args = parser.parse_args(argv)
    sandbox = SandboxServer(SandboxConfig(), port=args.port, quiet=not args.verbose).start()
    print('sandbox listening on %s (control: %s/sandbox/)' % (sandbox.url, sandbox.url), flush=True)
    print('host settings: GET %s/sandbox/config' % sandbox.url, flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        sandbox.stop()


if __name__ == '__main__':
    main()
