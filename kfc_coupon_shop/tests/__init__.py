from . import (test_back_office, test_constraints, test_log_and_tokens,  # noqa: F401
               test_money_rules, test_reconciliation, test_staff_actions,
               test_unnotified_payments)
