"""Helpers of the shop's models, wizards and controllers that define no model: row locks,
settlement item by item, the one way a state changes, the records kept for the books, the
kitchen's dispatcher, the daily reconciliation's comparison and the back office's replies to
the web client."""
