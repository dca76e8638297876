"""Stand-in host platform for the meal-coupon shop controllers: HTTP, records, host functions.

The host process keeps its clock in UTC, as Odoo sets it when imported, so ``datetime.now()``,
``fields.Datetime.now()`` and ``fields.Date.today()`` are UTC whatever the machine's zone.
"""
import os
import time

os.environ['TZ'] = 'UTC'
if hasattr(time, 'tzset'):
    time.tzset()
