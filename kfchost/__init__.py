"""Stand-in host platform for the meal-coupon shop controllers: HTTP, records, host functions."""
