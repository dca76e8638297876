"""The deployment constants the controllers were built with: the outside origins and the
page's address. The build of the module writes them into the add-on's folder
(``deployment.ini`` beside ``__manifest__.py``), which is where the add-on reads them, deployed
on its own beside the module."""
import configparser
import os

from .origins import normalize_origin

SECTION = 'deployment'
# Deployment keys that name an outside origin or base address.
_ORIGIN_KEY_SUFFIXES = ('_origin', '_base')


class DeploymentMissing(LookupError):
    """The add-on's folder holds no deployment constants the build wrote (or not readable)."""


def deployment_path():
    """The constants the build wrote into the add-on's folder."""
    addon = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    return os.path.join(addon, 'deployment.ini')


def read_deployment(path=None):
    """The [deployment] constants as a dict of text values; DeploymentMissing when there are
    none, with what to do in its message."""
    parser = configparser.ConfigParser(interpolation=None)
    path = path or deployment_path()
    try:
        with open(path, encoding='utf-8') as handle:
            parser.read_file(handle)
    except OSError as exc:
        raise _missing(path, exc.strerror) from None
    except configparser.Error as exc:
        raise _missing(path, str(exc).splitlines()[0]) from None
    if not parser.has_section(SECTION):
        raise _missing(path, 'no [%s] section' % SECTION)
    return dict(parser[SECTION])


def _missing(path, why):
    return DeploymentMissing(
        'no deployment constants in %s (%s): the build of the routeweave module writes them '
        'there; build it from the checkout that holds this add-on and deploy the folder with it'
        % (path, why))


def deployment_origins(deployment):
    """The outside origins named by the deployment constants (their *_origin and *_base keys)."""
    origins = []
    for key, value in deployment.items():
        if key.endswith(_ORIGIN_KEY_SUFFIXES):
            origin = normalize_origin(value)
            if origin and origin not in origins:
                origins.append(origin)
    return origins

