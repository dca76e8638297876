class WxApiController(http.Controller):

    def get_diff_time(self, timestamp1, timestamp2):
        return int(timestamp2) - int(timestamp1)

    def get_jsapi_ticket(self, appid, secret, js_api_timestamp1):
        response = requests.get('@WECHAT_API_ORIGIN@/cgi-bin/token', params={
            'grant_type': 'client_credential', 'appid': appid, 'secret': secret,
        }, timeout=(5, 15))
        token_result = response.json()
        if token_result.get('expires_in') != 7200:
            return token_result
        response = requests.get('@WECHAT_API_ORIGIN@/cgi-bin/ticket/getticket', params={
            'access_token': token_result['access_token'], 'type': 'jsapi',
        }, timeout=(5, 15))
        ticket = response.json()['ticket']
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
