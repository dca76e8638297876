"""Cost of loading each controller against running its decoded text with exec(compile(...)).

For every controller, prints the time of one load and of one exec(compile(text)) of the same
decoded text (made with the build's own substitution), both measured in this run, and their
ratio. The goal is a ratio of at most 1.05: decoding must cost next to nothing beside compiling.

    .venv/bin/python bench/bench_loader.py [--rounds N] [--samples N]
"""
import argparse
import gc
import importlib.util
import time
import types
from pathlib import Path

import routeweave

ROOT = Path(__file__).resolve().parents[1]
# the build step's own substitution, loaded from its file (tools/ is no package)
_spec = importlib.util.spec_from_file_location("embed_controller", ROOT / "tools" / "embed_controller.py")
embed_controller = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(embed_controller)

CONTROLLERS = [
    ("load_coupon_controller_0", "coupon_controller"),
    ("load_kfc_controller_1", "kfc_controller"),
    ("load_order_controller_2", "order_controller"),
    ("load_user_controller_3", "user_controller"),
    ("load_wx_api_controller_4", "wx_api_controller"),
]
GOAL = 1.05
SAMPLE_SECONDS = 0.002  # each timed sample runs about this long, whatever the source size

# Both ways run from a function of the host module, so both see the same globals.
_RUNNERS = """
def run_loads(load, loops):
    for _ in range(loops):
        load({})

def run_execs(text, loops):
    for _ in range(loops):
        exec(compile(text, "<string>", "exec"), globals(), {})
"""


def make_host():
    """A module whose globals bind what the class bodies use while they run."""
    host = types.ModuleType("bench_host")
    http = types.SimpleNamespace(Controller=type("Controller", (), {}),
                                 route=lambda *args, **kwargs: (lambda method: method))
    host.__dict__.update(http=http, request=None, validate_token=lambda method: method)
    exec(compile(_RUNNERS, "<bench_host>", "exec"), vars(host))
    return host


def sample(run, argument, loops):
    """Per-call time of `loops` calls, with the cyclic collector held off as timeit does."""
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        run(argument, loops)
        return (time.perf_counter() - start) / loops
    finally:
        gc.enable()


class Controller:
    """One controller's two ways, with the best per-call time seen for each."""

    def __init__(self, load_name, text, host):
        self.load_name, self.load, self.text, self.host = load_name, getattr(routeweave, load_name), text, host
        self.loops = max(3, round(SAMPLE_SECONDS / sample(host.run_execs, text, 3)))
        self.load_time = self.exec_time = float("inf")

    def measure(self, samples):
        # Alternate short samples so other work on the machine hits both ways alike; the best
        # sample of each is the least disturbed one.
        for _ in range(samples):
            self.load_time = min(self.load_time, sample(self.host.run_loads, self.load, self.loops))
            self.exec_time = min(self.exec_time, sample(self.host.run_execs, self.text, self.loops))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=6,
                        help="passes over all controllers, spread in time (default 6)")
    parser.add_argument("--samples", type=int, default=25,
                        help="timed samples of each way per controller and round (default 25)")
    args = parser.parse_args(argv)

    constants = embed_controller.load_deployment(embed_controller.deployment_path())
    host = make_host()
    controllers = [
        Controller(load_name, embed_controller.decoded_source(
            ROOT / "controllers" / f"{stem}.py", constants), host)
        for load_name, stem in CONTROLLERS]
    for _ in range(args.rounds):
        for controller in controllers:
            controller.measure(args.samples)

    print(f"{'controller':<28}{'chars':>7}{'load µs':>10}{'exec µs':>10}{'ratio':>8}")
    for c in controllers:
        print(f"{c.load_name:<28}{len(c.text):>7}{c.load_time * 1e6:>10.1f}"
              f"{c.exec_time * 1e6:>10.1f}{c.load_time / c.exec_time:>8.3f}")
    worst = max(c.load_time / c.exec_time for c in controllers)
    print(f"worst ratio {worst:.3f} (goal at most {GOAL})")


if __name__ == "__main__":
    main()
