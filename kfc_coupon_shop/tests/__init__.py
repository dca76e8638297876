from . import (test_back_office, test_constraints, test_money_rules,  # noqa: F401
               test_reconciliation, test_staff_actions, test_unnotified_payments)
