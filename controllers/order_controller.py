class OrderController(http.Controller):
    # Orders: coupon redemption, order creation, order lists and fulfilment tracking.

    ORDER_FIELDS = ('store_name', 'store_code', 'store_address', 'store_phone',
                    'city_name', 'city_code', 'remark')
    DONE_ORDER_URL = '@COUPON_FULFILMENT_BASE@/Core.asmx/KFC_Auto_GetDoneOrder'
    UNPAID_MINUTES = 5      # how long the page lets a customer pay an order
    # Every unit of a basket becomes a line of its own; a "num" sent by mistake or malice
    # (10**9) must not keep a worker creating lines until its memory runs out. Each coupon id
    # is a locked row: the same bound holds for them.
    MAX_ORDER_UNITS = 100
    MAX_ORDER_COUPONS = 100

    # -- helpers -----------------------------------------------------------------------------

    def json_reply(self, res):
        return http.Response(json.dumps(res), status=200, content_type='application/json')

    def find_user(self, token):
        """The user of a login token; an empty set for no token or one that matches nobody."""
        if not isinstance(token, str) or not token:
            return request.env['kfc.user'].sudo()
        return request.env['kfc.user'].sudo().search([('token', '=', token)], limit=1)

    def find_own_order(self, order_id, user_id):
        """The order with id ``order_id`` when it belongs to ``user_id``, else an empty set."""
        if not user_id:
            return request.env['sale.order'].sudo()
        return request.env['sale.order'].sudo().search(
            [('id', '=', order_id), ('kfc_user_id', '=', user_id.id)], limit=1)

    def shown_time(self, value):
        # Records hold UTC; customers read China Standard Time.
        return (value + timedelta(hours=8)).strftime('%Y-%m-%d %H:%M:%S')

    def masked_phone(self, phone):
        return phone[-4:] if phone else ''

    def pick_type(self, sale_order_id):
        return '外带' if sale_order_id.type == '1' else '堂食'

    # -- front-end log and coupons -----------------------------------------------------------

    @http.route('/api/post_front_error_log', auth='public', cors="*", csrf=False, methods=['POST'])
    def post_front_error_log(self, **post):
        data = json.loads(request.httprequest.data)
        create_api_log(log_title=data['title'], log_role='前端异常', log=data['log'])
        return self.json_reply({'code': 200, 'message': '创建日志成功'})

    @http.route('/api/post_exchange_coupon', auth='public', cors="*", csrf=False, methods=['POST'])
    def post_exchange_coupon(self, **post):
        create_api_log(log_title='兑换优惠券', log_role='前端', log=post)
        token, code = post['token'], post['code']
        user_id = self.find_user(token)
        # Guessing costs the guesser: past a few wrong codes the customer, or the address,
        # waits; a token of nobody counts against its address.
        if redemption_cooling(user_id):
            return self.json_reply({'code': 400, 'message': '尝试次数过多，请稍后再试'})
        if not user_id:
            redemption_failed(user_id)
            return self.json_reply({'code': 400, 'message': '用户未登录'})
        # A code is looked up in its folded form (no dashes or spaces, capitals), so that
        # "ab12-cd34" redeems AB12CD34; archived (cancelled, ended) coupons are not found.
        # Two customers typing one code at once: the second waits and then finds it redeemed.
        request.env.cr.execute(
            "SELECT id FROM kfc_coupon WHERE code_key = %s AND state = 'draft' AND active"
            " FOR UPDATE", (self.folded_code(code),))
        coupon_ids = request.env['kfc.coupon'].sudo().browse([row[0] for row in request.env.cr.fetchall()])
        if not coupon_ids:
            redemption_failed(user_id)
            return self.json_reply({'code': 400, 'message': '兑换券不存在或已兑换'})
        coupon_ids.write({'kfc_user_id': user_id.id, 'state': 'exchange'})
        return self.json_reply({'code': 200, 'message': '兑换成功'})

    def folded_code(self, code):
        return re.sub(r'[\s-]+', '', str(code)).upper()

    @http.route('/api/post_search_user_coupon', auth='public', cors="*", csrf=False, methods=['POST'])
    def post_search_user_coupon(self, **post):
        user_id = self.find_user(post.get('token'))
        if not user_id:
            return self.json_reply({'code': 200, 'message': '用户未登录'})
        coupon_ids = request.env['kfc.coupon'].sudo().search(
            [('kfc_user_id', '=', user_id.id), ('state', '=', 'exchange')])
        data = [self.coupon_entry(coupon_id) for coupon_id in coupon_ids]
        return self.json_reply({'code': 200, 'data': data, 'message': '返回兑换券列表成功'})

    def coupon_entry(self, coupon_id):
        product_id = coupon_id.product_id
        product_line_id = request.env['kfc.product.line'].sudo().search(
            [('product_id', '=', product_id.id)], limit=1)
        start_date = coupon_id.start_date.strftime('%Y-%m-%d') if coupon_id.start_date else False
        return {
            'name': coupon_id.name,
            'code': coupon_id.code,
            'coupon_id': coupon_id.id,
            'product_id': product_id.id,
            'parent_product_id': product_line_id.parent_product_id.id,
            'product_name': product_id.name,
            'image_url': product_id.image,
            'linkid': product_id.id,
            'start_date': start_date,
            'end_date': start_date,
        }

    # -- order creation ----------------------------------------------------------------------

    @http.route('/api/create_sale_order', auth='public', cors="*", csrf=False, methods=['POST'])
    def create_sale_order(self, **post):
        data = json.loads(request.httprequest.data)
        create_api_log(log_title='创建订单', log_role='前端', log=data)
        user_id = self.find_user(data['token'])
        if not user_id:
            return self.json_reply({'code': 400, 'message': '用户未登录'})
        self.check_units(data['data'])
        self.check_coupon_count(data['data'])
        self.lock_coupons(data['data'])
        user_id.write({'phone': data['phone']})
        sale_order_id = self.create_order(data, user_id, data['phone'])
        for item in data['data']:
            posted_ids = item['coupon_id'] or []
            num = item['num']
            coupon_ids = request.env['kfc.coupon'].sudo()
            if posted_ids:
                if self.has_used_coupon(posted_ids):
                    return self.refuse_used_coupon(sale_order_id)
                coupon_ids = self.usable_coupons(posted_ids, user_id, item['product_id'])
                self.create_coupon_lines(sale_order_id, item, coupon_ids)
            self.create_paid_lines(sale_order_id, item, num - len(coupon_ids))
        return self.json_reply({'order_id': sale_order_id.id, 'order_name': sale_order_id.name,
                                'code': 200, 'message': 'success'})

    @http.route('/api/post_coupon_sale_order', auth='public', cors="*", csrf=False, methods=['POST'])
    def post_coupon_sale_order(self, **post):
        data = json.loads(request.httprequest.data)
        create_api_log(log_title='创建订单(仅兑换券)', log_role='前端', log=data)
        user_id = self.find_user(data['token'])
        if not user_id:
            return self.json_reply({'code': 400, 'message': '用户未登录'})
        self.check_coupon_count(data['data'])
        self.lock_coupons(data['data'])
        sale_order_id = self.create_order(data, user_id, data.get('phone', ''))
        for item in data['data']:
            posted_ids = item['coupon_id'] or []
            coupon_ids = self.usable_coupons(posted_ids, user_id, item['product_id'])
            if self.has_used_coupon(posted_ids):
                return self.refuse_used_coupon(sale_order_id)
            if item['num'] != 0:
                self.create_coupon_lines(sale_order_id, item, coupon_ids)
        print('只使用兑换券下单')
        create_kfc_order(sale_order_id=sale_order_id)
        sale_order_id.write({'state': 'paid', 'is_paid': True})
        return self.json_reply({'order_id': sale_order_id.id, 'code': 200, 'message': 'success'})

    def check_units(self, items):
        units = sum(max(item['num'], 0) for item in items)
        if units > self.MAX_ORDER_UNITS:
            raise ValueError('an order holds at most %d units, not %s' % (self.MAX_ORDER_UNITS, units))

    def check_coupon_count(self, items):
        count = sum(len(item['coupon_id'] or []) for item in items)
        if count > self.MAX_ORDER_COUPONS:
            raise ValueError('an order names at most %d coupons, not %s' % (self.MAX_ORDER_COUPONS, count))

    def lock_coupons(self, items):
        """Lock every coupon the basket names until the transaction ends, so that two orders
        naming one coupon run one after the other and the second sees it spent. Ascending ids
        keep the lock order of all orders alike."""
        coupon_ids = sorted({int(coupon_id) for item in items for coupon_id in item['coupon_id'] or []})
        for coupon_id in coupon_ids:
            request.env.cr.execute('SELECT id FROM kfc_coupon WHERE id = %s FOR UPDATE', (coupon_id,))

    def create_order(self, data, user_id, phone):
        values = {'kfc_user_id': user_id.id, 'phone': phone, 'type': str(data['type'])}
        values.update((name, data[name]) for name in self.ORDER_FIELDS)
        return request.env['sale.order'].sudo().create(values)

    def has_used_coupon(self, coupon_ids):
        return bool(request.env['kfc.coupon'].sudo().search(
            [('id', 'in', coupon_ids), ('state', '=', 'done')]))

    def usable_coupons(self, coupon_ids, user_id, product_id):
        # Only the customer's own redeemed coupons for this dish pay for it; other ids are
        # passed over.
        coupon_ids = request.env['kfc.coupon'].sudo().search(
            [('id', 'in', coupon_ids), ('kfc_user_id', '=', user_id.id), ('state', '=', 'exchange')])
        return coupon_ids.filtered(lambda coupon_id: self.pays_for(coupon_id, product_id))

    def pays_for(self, coupon_id, product_id):
        """Whether the coupon pays for the dish: its own dish, or when that is a multi-choice
        dish, one of its choices."""
        dish_id = coupon_id.product_id
        product_id = int(product_id)
        if dish_id.id == product_id:
            return True
        return dish_id.is_multiple and product_id in dish_id.line_ids.product_id.ids

    def refuse_used_coupon(self, sale_order_id):
        # The order goes, and with it every coupon its earlier items spent.
        self.cancel_order(sale_order_id)
        sale_order_id.write({'remark': '存在已使用的兑换券'})
        return self.json_reply({'order_id': sale_order_id.id, 'code': 400, 'message': '存在已使用的兑换券'})

    def create_coupon_lines(self, sale_order_id, item, coupon_ids):
        if not coupon_ids:
            return
        coupon_ids.write({'state': 'done'})
        request.env['sale.order.line'].sudo().create([{
            'sale_order_id': sale_order_id.id,
            'product_id': item['product_id'],
            'coupon_ids': [(6, 0, [coupon_id.id])],
            'quantity': 1,
            'unit_price': 0,
        } for coupon_id in coupon_ids])

    def create_paid_lines(self, sale_order_id, item, count):
        if count <= 0:
            return
        # The catalogue sets the price; the page's own figure is not trusted.
        product_id = request.env['kfc.product'].sudo().browse(int(item['product_id']))
        request.env['sale.order.line'].sudo().create([{
            'sale_order_id': sale_order_id.id,
            'product_id': product_id.id,
            'quantity': 1,
            'unit_price': product_id.unit_price,
        } for _ in range(count)])

    # -- order list and details --------------------------------------------------------------

    @http.route('/api/post_sale_order_list', auth='public', cors="*", csrf=False, methods=['POST'])
    def post_sale_order_list(self, **post):
        user_id = self.find_user(post['token'])
        data = []
        if user_id:
            now = datetime.datetime.utcnow()
            sale_order_ids = request.env['sale.order'].sudo().search([('kfc_user_id', '=', user_id.id)])
            for sale_order_id in sale_order_ids:
                if self.is_stale(sale_order_id, now):
                    self.cancel_order(sale_order_id)
            lines_by_order = self.lines_by_order(sale_order_ids)
            data = [self.order_summary(sale_order_id, lines_by_order[sale_order_id.id])
                    for sale_order_id in sale_order_ids if lines_by_order[sale_order_id.id]]
        return self.json_reply({'code': 200, 'data': data, 'message': '返回用户订单列表成功'})

    def lines_by_order(self, sale_order_ids):
        """The lines of all the orders, read together: {order id: [line, ...]}, each in the
        lines' own order. One search for the lines of the whole list, whatever its length."""
        line_ids = request.env['sale.order.line'].sudo().search([('sale_order_id', 'in', sale_order_ids.ids)])
        lines_by_order = defaultdict(list)
        for line_id in line_ids:
            lines_by_order[line_id.sale_order_id.id].append(line_id)
        return lines_by_order

    def is_stale(self, sale_order_id, now):
        """An order left unpaid longer than the page lets a customer pay."""
        return (sale_order_id.state == 'draft' and not sale_order_id.is_paid
                and sale_order_id.create_date + timedelta(minutes=self.UNPAID_MINUTES) < now)

    def cancel_order(self, sale_order_id):
        line_ids = sale_order_id.line_ids
        sale_order_id.write({'state': 'cancel'})
        line_ids.coupon_ids.write({'state': 'exchange'})
        line_ids.write({'detail_state': 'cancel'})

    def order_fields(self, sale_order_id):
        return {
            'name': sale_order_id.name,
            'amount': sale_order_id.amount,
            'number': sale_order_id.number,
            'order_id': sale_order_id.id,
            'create_date': self.shown_time(sale_order_id.create_date),
            'store_name': sale_order_id.store_name,
            'store_code': sale_order_id.store_code,
            'store_phone': sale_order_id.store_phone,
            'store_address': sale_order_id.store_address,
            'city_code': sale_order_id.city_code,
            'city_name': sale_order_id.city_name,
        }

    def order_summary(self, sale_order_id, line_ids):
        res = self.order_fields(sale_order_id)
        product_id = line_ids[-1].product_id
        res.update({
            'phone': self.masked_phone(sale_order_id.phone),
            'prepay_id': sale_order_id.prepay_id,
            'remark': sale_order_id.remark,
            'state': sale_order_id.state,
            'type': sale_order_id.type,
            'quantity': len(line_ids),
            'product_name': product_id.name,
            'image': product_id.image,
        })
        return res

    @http.route('/api/post_sale_order_list_line', auth='public', cors="*", csrf=False, methods=['POST'])
    def post_sale_order_list_line(self, **post):
        order_id = int(post['order_id'])
        sale_order_id = self.find_own_order(order_id, self.find_user(post.get('token')))
        if not sale_order_id:
            return self.json_reply({'code': 400, 'message': '订单不存在'})
        line_ids = sale_order_id.line_ids
        res = self.order_fields(sale_order_id)
        res.update({
            'phone': sale_order_id.phone,
            'prepay_id': sale_order_id.prepay_id,
            'remark': sale_order_id.remark,
            'state': sale_order_id.state,
            'type': sale_order_id.type,
            'quantity': len(line_ids),
            'detail': [self.line_detail(line_id) for line_id in line_ids],
        })
        if sale_order_id.state == 'paid':
            return self.json_reply({'code': 200, 'data': res, 'message': '订单已支付'})
        return self.json_reply({'code': 400, 'data': res, 'message': '订单未支付'})

    def line_detail(self, line_id):
        product_id = line_id.product_id
        return {
            'product_name': product_id.name,
            'product_id': product_id.id,
            'link_id': product_id.link_id,
            'image': product_id.image,
            'pick_code': line_id.pick_code,
            'phone': self.masked_phone(line_id.phone),
            'quantity': line_id.quantity,
            'unit_price': line_id.unit_price,
            'total_price': line_id.total_price,
            'coupon_id': line_id.coupon_ids.ids,
            'show_remark': get_error_message(line_id),
        }

    def line_result(self, line_id):
        product_id = line_id.product_id
        return {
            'product_name': product_id.name,
            'image': product_id.image,
            'pick_code': line_id.pick_code,
            'phone': self.masked_phone(line_id.phone),
            'quantity': line_id.quantity,
            'unit_price': line_id.unit_price,
            'total_price': line_id.total_price,
            'product_id': product_id.id,
            'link_id': product_id.link_id,
            'coupon_id': line_id.coupon_ids.ids,
            'detail_state': line_id.detail_state,
            'show_remark': get_error_message(line_id),
        }

    @http.route('/api/post_order_is_paid', auth='public', cors="*", csrf=False, methods=['POST'])
    def post_order_is_paid(self, **post):
        create_api_log(log_title='查询订单支付状态(post_order_is_paid)', log_role='前端', log=post['order_id'])
        sale_order_id = self.find_own_order(int(post['order_id']), self.find_user(post.get('token')))
        print(sale_order_id)
        if sale_order_id.is_paid:
            return self.json_reply({'code': 200, 'message': 'success'})
        return self.json_reply({'code': 400, 'message': 'fail'})

    # -- fulfilment poll ---------------------------------------------------------------------

    @http.route('/api/post_pay_result', auth='public', cors="*", csrf=False, methods=['POST'])
    def post_pay_result(self, **post):
        order_id = int(post['order_id'])
        sale_order_id = self.find_own_order(order_id, self.find_user(post.get('token')))
        if not sale_order_id:
            return self.json_reply({'data': {'code': 200, 'data': [], 'state': False,
                                             'message': '返回订单详情成功'}})
        # The back-end is asked first, holding nothing; its answers are applied under the
        # order's lock, to the dishes still waiting then. Polls of one order apply one after
        # the other (only the owner's wait here): a pick-up code is announced once and a failed
        # dish handed over once. The order row is written below in every case, so a poll that
        # waited here starts again on what the first one committed.
        answers = self.ask_the_kitchen(sale_order_id)
        request.env.cr.execute('SELECT id FROM sale_order WHERE id = %s FOR UPDATE', (order_id,))
        sale_order_id.invalidate_recordset()
        sale_order_id.line_ids.invalidate_recordset()
        pick_type = self.pick_type(sale_order_id)
        data = []
        for line_id in sale_order_id.line_ids:
            if line_id.detail_state == 'wait' and sale_order_id.state in ('paid', 'pick'):
                self.poll_line(sale_order_id, line_id, pick_type, answers)
            data.append(self.line_result(line_id))
        sale_order_id.write({'state': self.aggregate_state(sale_order_id)})
        return self.json_reply({'data': {'code': 200, 'data': data, 'state': sale_order_id.state,
                                         'message': '返回订单详情成功'}})

    def aggregate_state(self, sale_order_id):
        states = sale_order_id.line_ids.mapped('detail_state')
        if all(state == 'fail' for state in states):
            return 'fail'
        # a dish not yet handed to the kitchen (False) is still to come, as a waiting one is
        if 'success' in states and 'wait' not in states and False not in states:
            return 'done'
        return sale_order_id.state

    def ask_the_kitchen(self, sale_order_id):
        """{uuid: the back-end's answer} for each dish of the order waiting on the kitchen."""
        answers = {}
        if sale_order_id.state in ('paid', 'pick'):
            for line_id in sale_order_id.line_ids:
                if line_id.detail_state == 'wait' and line_id.uuid:
                    answers[line_id.uuid] = self.query_done_order(line_id.uuid)
        return answers

    def poll_line(self, sale_order_id, line_id, pick_type, answers):
        if not line_id.uuid:
            order_fail_push(rec=line_id, sale_order_id=sale_order_id)
            return
        answer = answers.get(line_id.uuid)
        if answer is None:
            return      # no settled answer yet: the line waits for a later poll
        reply, items, results = answer
        if not items:
            if line_id._kfc_may_not_show_yet():
                return      # the back-end may not list an order it has just taken: not yet
            if line_id.detail_state != 'fail':
                order_fail_push(rec=line_id, sale_order_id=sale_order_id)
                line_id.write({'result': reply})
            return
        last_value = items
        pick_codes = []
        phone = ''
        for item, result in zip(items, results):
            if item['code'] == 0 and result:
                last_value = result
                line_id.write({'phone': result['phone'], 'pick_code': result['orderNumber'],
                               'detail_state': 'success'})
                pick_codes.append(result['orderNumber'])
                phone = result['phone'][-4:]
                sale_order_id.write({'state': 'pick'})
            elif item['code'] != 0 and line_id.detail_state != 'fail':
                order_fail_push(rec=line_id, sale_order_id=sale_order_id)
                line_id.write({'result': last_value})
        if pick_codes:
            post_pick_message(openid=sale_order_id.kfc_user_id.openid,
                              store_name=sale_order_id.store_name,
                              out_trade_no=sale_order_id.name,
                              pick_code=str(pick_codes),
                              pick_type=pick_type,
                              create_date=self.shown_time(sale_order_id.create_date),
                              phone=phone)

    def query_done_order(self, uuid):
        """Ask the back-end how the dishes of its order ``uuid`` went.

        Returns (reply, items, results): the decoded reply, its decoded item list and, per item,
        its decoded result or None. Returns None when the answer settles nothing: no connection,
        a time-out, an HTTP error, a reply not shaped as expected, or a code other than 0.
        """
        try:
            response = requests.post(self.DONE_ORDER_URL, json={'uuid': uuid}, timeout=(5, 15))
        except OSError as exc:      # refused, reset or timed out
            create_api_log(log_title='查询卡券后台下单结果', log_role='卡券', log=exc)
            return None
        try:
            reply = response.json()
        except ValueError:
            create_api_log(log_title='查询卡券后台下单结果', log_role='卡券', log=response)
            return None
        create_api_log(log_title='查询卡券后台下单结果', log_role='卡券', log=reply)
        print(reply)
        if response.status_code != 200:
            return None
        try:
            return self.decode_done_order(reply)
        except (ValueError, KeyError, TypeError):
            return None

    def decode_done_order(self, reply):
        """(reply, items, results) of a reply with code 0, or None; raises ValueError, KeyError
        or TypeError on a reply of another shape, before anything is written."""
        envelope = reply['d']
        code = envelope['code']
        if type(code) is not int:
            raise TypeError('code is not an integer')
        if code != 0:
            return None
        items = json.loads(envelope['data'])
        print(items)
        if not items:
            return reply, items, []
        if not isinstance(items, list):
            raise TypeError('data is not a list')
        return reply, items, [self.decode_item_result(item) for item in items]

    def decode_item_result(self, item):
        code, text = item['code'], item['result']
        if type(code) is not int or not isinstance(text, str):
            raise TypeError('item is not {"code": int, "result": text}')
        if code != 0 or not text:
            return None
        result = json.loads(text)
        if not isinstance(result['phone'], str) or not isinstance(result['orderNumber'], str):
            raise TypeError('result has no phone and pick-up code texts')
        return result
