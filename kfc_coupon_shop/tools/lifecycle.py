"""The one way a state changes. Each model keeps its lifecycle in one table, {state: the states
it may be reached from}, as Odoo's payment transactions move only through
``_update_state(allowed_states, target_state)``; its ``write`` passes every change of the state
field through ``check_transition``, whoever writes it (a route, a rule, the back office).
Writing the state a record already has changes nothing and is always allowed."""
import logging

from odoo import _
from odoo.exceptions import UserError

_logger = logging.getLogger(__name__)


def check_transition(records, field, vals, transitions):
    """Refuse (log and raise) the write ``vals`` when it moves the ``field`` of any of
    ``records`` along a way that ``transitions`` does not allow."""
    if field not in vals:
        return
    target = vals[field] or False
    allowed = transitions.get(target, ())
    wrong = records.filtered(lambda record: record[field] != target
                             and record[field] not in allowed)
    if not wrong:
        return
    moves = ', '.join('%s: %s -> %s' % (record.display_name, record[field], target)
                      for record in wrong)
    _logger.warning('refused state change of %s: %s', records._name, moves)
    raise UserError(_('These records cannot change their state so: %s.', moves))
