from . import probe
