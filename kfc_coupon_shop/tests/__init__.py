from . import test_back_office, test_constraints, test_money_rules, test_staff_actions  # noqa: F401
