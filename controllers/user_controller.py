class UserController(http.Controller):

    @http.route('/api/post_keyword_config', auth='public', cors="*", csrf=False, methods=['POST'])
    def post_keyword_config(self, **post):
        keyword_config_id = request.env['keyword.config'].sudo().search([('name', '=', post['type'])])
        keywords = []
        if keyword_config_id and keyword_config_id.keyword:
            keywords = keyword_config_id.keyword.split('，')
        res = {'code': 200, 'data': keywords, 'message': 'success'}
        return http.Response(json.dumps(res), status=200, content_type='application/json')

    @http.route('/api/post_user_token', auth='public', cors="*", csrf=False, methods=['POST'])
    def post_user_token(self, **post):
        token = post.get('token')
        # No token is nobody's, not a customer without one.
        user_ids = token and request.env['kfc.user'].sudo().search([('token', '=', token)])
        res = {'code': 200, 'data': {'state': bool(user_ids)}, 'message': 'success'}
        return http.Response(json.dumps(res), status=200, content_type='application/json')

    @http.route('/api/post_user_login', auth='public', cors="*", csrf=False, methods=['POST'])
    def post_user_login(self, **post):
        api_config_id = request.env['api.config'].sudo().search([('name', '=', 'wxapi')])
        appid = api_config_id.app_id
        secret = api_config_id.secret
        code = post['code']
        # WeChat takes each code once: when the host runs this request again after losing a
        # race for the database, the answers of the first run are used, not a spent code.
        wechat_user = getattr(request, 'kfc_wechat_user', None)
        if wechat_user is None:
            # params= keeps the key order and URL-encodes each value, so a posted code cannot
            # add or change query parameters.
            response = requests.get('@WECHAT_API_ORIGIN@/sns/oauth2/access_token', params={
                'appid': appid, 'secret': secret, 'code': code, 'grant_type': 'authorization_code',
            }, timeout=(5, 15))
            token_info = response.json()
            openid = token_info['openid']
            unionid = token_info['unionid']
            access_token = token_info['access_token']
            response = requests.get('@WECHAT_API_ORIGIN@/sns/userinfo', params={
                'access_token': access_token, 'openid': openid, 'lang': 'zh_CN',
            }, timeout=(5, 15))
            wechat_user = request.kfc_wechat_user = (openid, unionid, response.json())
        openid, unionid, user_info = wechat_user
        user_id = request.env['kfc.user'].sudo().search([('openid', '=', openid)])
        if not user_id:
            token = generate_token()
            nickname = user_info['nickname']
            try:
                # WeChat sends UTF-8 labelled as text/plain without a charset, which reads
                # as ISO-8859-1; turn those characters back into the bytes and decode them.
                nickname = nickname.encode('iso-8859-1').decode('utf-8')
            except UnicodeError:
                pass  # not such a misreading: keep the nickname as received
            request.env['kfc.user'].sudo().create({
                'name': nickname,
                'openid': openid,
                'unionid': unionid,
                'token': token,
            })
        else:
            token = user_id.token
        res = {'data': {'token': token}, 'code': 200, 'message': '登录用户成功'}
        return http.Response(json.dumps(res), status=200, content_type='application/json')

    @validate_token
    @http.route('/api/post_user_info', auth='public', cors="*", csrf=False, methods=['POST'])
    def post_user_info(self, **post):
        user_id = request.kfc_user_id
        res = {'name': user_id.name, 'code': 200, 'message': 'success'}
        return http.Response(json.dumps(res), status=200, content_type='application/json')
