"""Platform models every database has: users, system parameters, external ids and sequences."""
from . import res_users, ir_config_parameter, ir_model_data, ir_sequence   # noqa: F401
