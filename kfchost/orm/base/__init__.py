"""Platform models every database has: users, system parameters and sequences."""
from . import res_users, ir_config_parameter, ir_sequence   # noqa: F401
