from . import test_back_office, test_books, test_constraints, test_money_rules  # noqa: F401
