class WxApiController(http.Controller):

    def find_user(self, token):
        """The user of a login token; an empty set for anything but a non-empty text (a search
        for no token would find a customer who has none)."""
        if not isinstance(token, str) or not token:
            return request.env['kfc.user'].sudo()
        return request.env['kfc.user'].sudo().search([('token', '=', token)], limit=1)

    def get_diff_time(self, timestamp1, timestamp2):
        return int(timestamp2) - int(timestamp1)

    def get_jsapi_ticket(self, appid, secret, js_api_timestamp1):
        # The host keeps the account's access token (appid and secret are its credentials);
        # one WeChat no longer takes is renewed once.
        refused = None
        for _ in range(2):
            access_token = wechat_access_token(refused)
            if not isinstance(access_token, str):
                return access_token
            response = requests.get('@WECHAT_API_ORIGIN@/cgi-bin/ticket/getticket', params={
                'access_token': access_token, 'type': 'jsapi',
            }, timeout=(5, 15))
            result = response.json()
            if result.get('errcode') not in (40001, 42001):
                break
            refused = access_token
        ticket = result['ticket']
        config_parameter = request.env['ir.config_parameter'].sudo()
        config_parameter.set_param('jsapi_ticket', ticket)
        config_parameter.set_param('js_api_timestamp1', js_api_timestamp1)
        return 'success'

    @http.route('/api/post_wx_config', auth='public', cors="*", csrf=False, methods=['POST'])
    def post_wx_config(self, **post):
        api_config_id = request.env['api.config'].sudo().search([('name', '=', 'wxapi')])
        appid = api_config_id.app_id
        secret = api_config_id.secret
        timestamp = int(round(time.time()))
        nonce_str = str(int(round(time.time())))
        url = '@FRONTEND_PAGE_URL@'
        config_parameter = request.env['ir.config_parameter'].sudo()
        js_api_timestamp1 = config_parameter.get_param('js_api_timestamp1')
        if not js_api_timestamp1 or self.get_diff_time(int(js_api_timestamp1), timestamp) > 7000:
            result = self.get_jsapi_ticket(appid, secret, timestamp)
            if result != 'success':
                res = {'data': result, 'code': 400, 'message': result}
                return http.Response(json.dumps(res), status=200, content_type='application/json')
        jsapi_ticket = config_parameter.get_param('jsapi_ticket')
        message = 'success'
        sign_text = 'jsapi_ticket={}&noncestr={}&timestamp={}&url={}'.format(
            jsapi_ticket, nonce_str, timestamp, url)
        signature = hashlib.sha1(sign_text.encode('utf-8')).hexdigest()
        # The app secret stays on the server: the page needs only what it signs with.
        data = {'appid': appid, 'timestamp': timestamp, 'nonceStr': nonce_str, 'signature': signature}
        res = {'data': data, 'code': 200, 'message': message}
        return http.Response(json.dumps(res), status=200, content_type='application/json')

    @http.route('/api/wechat_jsapi_payment', auth='public', cors="*", csrf=False, methods=['POST'])
    def wechat_jsapi_payment(self, **post):
        data = json.loads(request.httprequest.data)
        user_id = self.find_user(data.get('token'))
        openid = user_id.openid
        description = data.get('description', False)
        order_id = data['order_id']
        sale_order_id = request.env['sale.order'].sudo()
        if order_id and user_id:
            # Only the order's owner opens its payment: anyone else's would take it over.
            sale_order_id = sale_order_id.search([('id', '=', int(order_id)),
                                                  ('kfc_user_id', '=', user_id.id)])
        # Only an unpaid order still in "draft" can be paid: a cancelled or settled one, one of
        # another customer, or none at all, is answered as an order not created, without
        # asking WeChat Pay.
        if sale_order_id.state != 'draft' or sale_order_id.is_paid:
            res = {'code': 200, 'message': '未创建订单'}
            return http.Response(json.dumps(res), status=200, content_type='application/json')
        amount = round(sale_order_id.amount * 100, 2)
        order = sale_order_id.name
        create_api_log(log_title='微信支付', log_role='前端', log=data)
        res = wx_api_payment(description=description, amount=amount, openid=openid, order=order)
        create_api_log(log_title='微信支付', log_role='微信', log=res)
        if res.get('code') == 200:
            sale_order_id.prepay_id = res['data']['prepay_id']
            res['data']['order_id'] = sale_order_id.id
        return http.Response(json.dumps(res), status=200, content_type='application/json')

    @http.route('/api/post_change_sale_order_state', auth='public', cors="*", csrf=False, methods=['POST'])
    def post_change_sale_order_state(self, **post):
        # Only the order's owner sends it to the kitchen: anyone else would close the owner's
        # window to refund it first.
        user_id = self.find_user(post.get('token'))
        sale_order_id = request.env['sale.order'].sudo()
        if user_id:
            sale_order_id = sale_order_id.search([('id', '=', post['order_id']),
                                                  ('kfc_user_id', '=', user_id.id)])
        res = {}
        if sale_order_id:
            # Taken before the state is read, so two requests cannot both find it in "draft";
            # outside the guard below, so that a lost race reruns the request as a whole.
            request.env.cr.execute('SELECT id FROM sale_order WHERE id = %s FOR UPDATE',
                                   (sale_order_id.id,))
            sale_order_id.invalidate_recordset(['state', 'is_paid'])
        try:
            # Fulfilment starts only once the payment notification has confirmed the payment.
            if sale_order_id.state == 'draft' and sale_order_id.is_paid:
                sale_order_id.state = 'paid'
                create_kfc_order(sale_order_id)
                res = {'code': 200, 'state': sale_order_id.state, 'message': 'success'}
        except Exception as e:
            create_api_log(log_title='卡券下单失败', log_role='卡券下单失败', log=e)
            res = {'code': 200, 'state': '', 'data': []}
        return http.Response(json.dumps(res), status=200, content_type='application/json')

    def verified_notification(self):
        """The decrypted resource of the WeChat Pay notification posted, or None when it is not
        WeChat Pay's: its signature headers (platform serial, a timestamp within five minutes,
        the signature of the body) are checked before anything of the body is read."""
        if not verify_wechatpay_signature(request.httprequest.headers, request.httprequest.data):
            return None
        data = json.loads(request.httprequest.data)
        return self.decrypt_notify_resource(data['resource'])

    def decrypt_notify_resource(self, resource):
        """The decrypted resource of a WeChat Pay notification, or None when its tag fails."""
        if resource.get('algorithm') != 'AEAD_AES_256_GCM':
            return None
        key = APIV3_KEY.encode('utf-8')
        nonce = resource['nonce'].encode('utf-8')
        associated_data = resource['associated_data'].encode('utf-8')
        ciphertext = base64.b64decode(resource['ciphertext'])
        try:
            plaintext = AESGCM(key).decrypt(nonce, ciphertext, associated_data)
        except InvalidTag:
            return None
        return json.loads(plaintext.decode('utf-8'))

    def notify_refused(self):
        # Any status but 200/204 makes WeChat Pay deliver the notification again later.
        res = {'code': 'FAIL', 'message': '失败'}
        return http.Response(json.dumps(res), status=400, content_type='application/json')

    @http.route('/api/wechat_pay_notify', auth='public', cors="*", csrf=False, methods=['POST'])
    def wechat_pay_notify(self, **post):
        result = self.verified_notification()
        if result is None:
            return self.notify_refused()
        res = {'code': 'SUCCESS', 'message': '成功'}
        create_api_log(log_title='微信支付回调', log_role='微信', log=result)
        sale_order_id = request.env['sale.order'].sudo().search([('name', '=', result['out_trade_no'])])
        if sale_order_id:
            # Deliveries of one notification may arrive together: one applies it.
            request.env.cr.execute('SELECT id FROM sale_order WHERE id = %s FOR UPDATE',
                                   (sale_order_id.id,))
            sale_order_id.invalidate_recordset(['is_paid'])
        if sale_order_id and result['trade_state'] == 'SUCCESS' and not sale_order_id.is_paid:
            # WeChat Pay's word that money moved, but not for this order as it stands (another
            # merchant or account, another amount): the payment goes back and the order stays
            # unpaid. The host logs why.
            if refund_mismatched_payment(sale_order_id, result):
                return http.Response(json.dumps(res), status=200, content_type='application/json')
            try:
                sale_order_id.transaction_id = result['transaction_id']
                sale_order_id.is_paid = True
                sale_order_id.pay_time = datetime.datetime.utcnow()
            except Exception as e:
                print(e)
                sale_order_id.write({'transaction_id': result['transaction_id'], 'is_paid': True})
                return http.Response(json.dumps(res), status=200, content_type='application/json')
        return http.Response(json.dumps(res), status=200, content_type='application/json')

    @http.route('/api/wechat_refund_notify', auth='public', cors="*", csrf=False, methods=['POST'])
    def wechat_refund_notify(self, **post):
        result = self.verified_notification()
        if result is None:
            return self.notify_refused()
        create_api_log(log_title='微信退款回调', log_role='微信', log=result)
        refund_order_id = request.env['sale.refund.order'].sudo().search(
            [('name', '=', result['out_refund_no'])])
        # A closed or abnormal refund returned no money: it must not read as refunded.
        if result.get('refund_status') == 'SUCCESS':
            refund_order_id.state = 'done'
        res = {'code': 'SUCCESS'}
        return http.Response(json.dumps(res), status=200, content_type='application/json')
