import json

from odoo import http
from odoo.http import request


class Probe(http.Controller):
    @http.route('/rw_probe/item', type='http', auth='public', methods=['GET'], csrf=False)
    def item(self, code=None, **kw):
        item = request.env['rw.probe.item'].sudo().search([('code', '=', code)], limit=1)
        return request.make_response(json.dumps({'code': item.code, 'quantity': item.quantity}),
                                     headers=[('Content-Type', 'application/json')])
