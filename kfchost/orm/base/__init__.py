"""Platform models every database has: users, currencies, system parameters, external ids and
sequences."""
from . import res_users, res_currency, ir_config_parameter, ir_model_data, ir_sequence  # noqa: F401
