"""Write the deployment constants the build uses into the add-on's folder, so that the add-on
reads them there at run time, deployed on its own beside the module.

    python addon_constants.py INI OUTPUT

The output holds the [deployment] keys and values only, under a header that says where they
came from (the file's name, not its path: the text is the same in every checkout).
"""
import argparse
import sys
from pathlib import Path

from embed_controller import DEPLOYMENT_SECTION, EmbedError, load_deployment

HEADER = """\
# The deployment constants the routeweave module was built with, written by its build from
# {origin}. The add-on reads them here and refuses to load its API routes when they differ
# from the module's. Do not edit: build the module again, and deploy this folder with it.
"""


def constants_text(constants, origin):
    lines = [HEADER.format(origin=origin), "[%s]" % DEPLOYMENT_SECTION]
    lines += ["%s = %s" % item for item in constants.items()]
    return "\n".join(lines) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("deployment", type=Path)
    parser.add_argument("output", type=Path)
    args = parser.parse_args(argv)
    try:
        constants = load_deployment(args.deployment)
    except EmbedError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    args.output.write_text(constants_text(constants, args.deployment.name), encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
