"""Platform models every database has: system parameters and sequences."""
from . import ir_config_parameter, ir_sequence   # noqa: F401
