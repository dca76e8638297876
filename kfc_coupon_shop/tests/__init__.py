from . import test_back_office, test_constraints  # noqa: F401
