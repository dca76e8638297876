from . import (test_back_office, test_books, test_constraints, test_counter_and_dashboard,  # noqa: F401
               test_coupon_batches, test_guessing_limits, test_log_and_tokens, test_money_rules,
               test_lifecycle, test_reconciliation, test_records_kept_and_told,
               test_staff_actions, test_unnotified_payments)
