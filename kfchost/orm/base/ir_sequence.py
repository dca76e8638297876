"""Sequences: numbers drawn by code, formatted with a prefix, padding and suffix.

The prefix and suffix may hold Odoo's date placeholders (``%(year)s``, ``%(month)s``,
``%(day)s``...), filled with the current UTC date. Drawing a number updates the sequence's
row, which takes the database write lock: concurrent transactions draw one after the other
and never get the same number.

``implementation`` is Odoo's: "no_gap" draws under a row lock in the caller's transaction, so
a transaction that rolls back gives its number back and a rerun draws the same one; Odoo's
"standard" draws from a PostgreSQL sequence outside the transaction. This stand-in draws every
sequence the "no_gap" way; records whose numbers must be repeatable declare "no_gap" so that
they keep that behaviour on Odoo.
"""
import datetime

from .. import access, api, fields, models
from ..exceptions import UserError

access.grant('ir.sequence', 'base.group_user', ['read'])
access.grant('ir.sequence', 'base.group_system', access.OPERATIONS)

_PLACEHOLDERS = {
    'year': '%Y', 'month': '%m', 'day': '%d', 'y': '%y', 'doy': '%j', 'woy': '%W',
    'weekday': '%w', 'h24': '%H', 'h12': '%I', 'min': '%M', 'sec': '%S',
}


class IrSequence(models.Model):
    _name = 'ir.sequence'
    _description = 'Sequence'
    _order = 'name'

    name = fields.Char(required=True)
    code = fields.Char(index=True)
    prefix = fields.Char()
    suffix = fields.Char()
    padding = fields.Integer(default=0)
    number_next = fields.Integer(default=1)
    number_increment = fields.Integer(default=1)
    implementation = fields.Selection([('standard', 'Standard'), ('no_gap', 'No gap')],
                                      default='standard', required=True)

    @api.model
    def next_by_code(self, sequence_code):
        """The next formatted number of the sequence ``sequence_code``; False when there is none."""
        self.check_access_rights('read')
        sequence = self.search([('code', '=', sequence_code)], limit=1)
        if not sequence:
            return False
        return sequence._next()

    def _next(self):
        self.ensure_one()
        cr = self.env.cr
        cr.execute("SELECT number_next FROM ir_sequence WHERE id = %s FOR UPDATE NOWAIT", [self.id])
        cr.execute("UPDATE ir_sequence SET number_next = number_next + number_increment "
                   "WHERE id = %s RETURNING number_next - number_increment", [self.id])
        number = cr.fetchone()[0]
        self.invalidate_recordset(['number_next'])
        return self._format(number)

    def _format(self, number):
        values = self._interpolation_values()
        try:
            prefix = (self.prefix % values) if self.prefix else ''
            suffix = (self.suffix % values) if self.suffix else ''
        except (ValueError, KeyError, TypeError):
            raise UserError("Invalid prefix or suffix for sequence '%s'" % self.name) from None
        return prefix + '%%0%sd' % self.padding % number + suffix

    def _interpolation_values(self):
        now = datetime.datetime.now(datetime.timezone.utc)
        tz_name = self.env.context.get('tz')
        if tz_name:
            import pytz
            now = now.astimezone(pytz.timezone(tz_name))
        values = {}
        for key, code in _PLACEHOLDERS.items():
            values[key] = values['range_' + key] = values['current_' + key] = now.strftime(code)
        return values
