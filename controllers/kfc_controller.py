class KfcController(http.Controller):
    # Store catalogue: city from coordinates, cities, stores, menus and menu synchronisation.
    # In this controller `datetime` and `time` are the classes of the datetime module.

    def is_time_in_range(self):
        # Business hours are Shanghai's, whatever zone the server runs in.
        now = datetime.now(pytz.utc).astimezone(pytz.timezone('Asia/Shanghai')).time()
        return time(9, 30, 0) <= now <= time(23, 59, 0)

    # -- coupon back-end: one exchange shared by the catalogue routes ---------------------------

    def _post_catalogue(self, path, payload):
        response = requests.post('@COUPON_CATALOGUE_BASE@' + path, json=payload, timeout=(5, 15))
        return response.json()

    def _renewed(self, path, payload, result):
        # -2: the token expired. Resend once with the fresh token kfc_login gives; no more retries.
        if result['d']['code'] == -2:
            return self._post_catalogue(path, kfc_login(payload))
        return result

    def _backend_token(self):
        return request.env['ir.config_parameter'].sudo().get_param('token')

    # -- location and stores ---------------------------------------------------------------

    @http.route('/api/post_city_name', auth='public', cors="*", csrf=False, methods=['POST'])
    def post_city_name(self, **post):
        create_api_log(log_title='根据经纬度获取城市名称', log_role='前端', log=post)
        location = '%s,%s' % (post['lat'], post['lng'])
        # params= URL-encodes the posted values, so they cannot add or change query parameters.
        response = requests.get('@TENCENT_MAP_ORIGIN@/ws/geocoder/v1/', params={
            'location': location, 'key': '@TENCENT_MAP_KEY@',
        }, timeout=(5, 15))
        create_api_log(log_title='根据经纬度获取城市response', log_role='腾讯地图', log=response)
        city = ''
        address = ''
        try:
            if response.status_code == 200:
                result = response.json()
                create_api_log(log_title='根据经纬度获取城市名称详情', log_role='腾讯地图', log=result)
                if result['status'] == 0:
                    city = result['result']['address_component']['city']
                    address = result['result']['address']
                    message = 'success'
                else:
                    message = 'API调用失败，错误信息：' + result['message']
            else:
                message = '请求API时发生错误，状态码：' + str(response.status_code)
            res = {'data': {'city': city}, 'address': address, 'code': 200, 'message': message}
        except Exception as e:
            create_api_log(log_title='根据经纬度获取城市名称', log_role='腾讯地图', log=e)
            res = {'code': 200, 'message': '根据经纬度获取城市名称失败', 'data': []}
        return http.Response(json.dumps(res), status=200, content_type='application/json')

    @http.route('/api/post_kfc_getcity', auth='public', cors="*", csrf=False, methods=['POST'])
    def post_kfc_getcity(self, **post):
        path = '/KFCCore.asmx/KFC_GetCity'
        payload = {'token': self._backend_token(), 'ticket': '', 'deviceID': ''}
        result = self._post_catalogue(path, payload)
        create_api_log(log_title='获取所有城市', log_role='卡券后台', log=result)
        try:
            result = self._renewed(path, payload, result)
            cities = json.loads(result['d']['data'])
            groups = defaultdict(list)
            seen_names = set()
            for city in cities:
                name = city.get('cityNameZh', '')
                if name in seen_names:
                    continue   # the back-end lists some cities twice; the first one wins
                seen_names.add(name)
                letter = city['cityNameEn'][0].upper()
                groups[letter].append({
                    'gbCityCode': city['gbCityCode'],
                    'cityNameZh': name,
                    'cityNameEn': city['cityNameEn'],
                    'lat': city.get('latitude', ''),
                    'lng': city.get('longitude', ''),
                })
            data = [{'letter': letter, 'cities': groups[letter]} for letter in sorted(groups)]
            res = {'code': 200, 'message': '获取城市成功', 'data': {'data': data}}
        except Exception as e:
            create_api_log(log_title='获取城市信息', log_role='卡卷后台位置', log=e)
            res = {'code': 200, 'message': '获取店铺信息成功', 'data': []}
        return http.Response(json.dumps(res), status=200, content_type='application/json')

    def _distance(self, store, post):
        user = (post['user_lat'], post['user_lng'])
        return round(geodesic((store['lat'], store['lng']), user).km, 2)

    def _open_flag(self, store):
        # Outside business hours a store is shown closed and its booking data is not read.
        if self.is_time_in_range():
            return store['bookingMerge']['boolOpenTime']
        return False

    @http.route('/api/post_kfc_store', auth='public', cors="*", csrf=False, methods=['POST'])
    def post_kfc_store(self, **post):
        create_api_log(log_title='关键字获取店铺信息', log_role='前端', log=post)
        path = '/KFCCore.asmx/KFC_GetStoreByCityAndKeyWord'
        payload = {'token': self._backend_token(), 'cityname': post['cityname'],
                   'gbcitycode': post['gbcitycode'], 'keyword': post['keyword']}
        result = self._post_catalogue(path, payload)
        try:
            result = self._renewed(path, payload, result)
            stores = json.loads(result['d']['data'])
            create_api_log(log_title='关键字获取店铺信息', log_role='卡券', log=stores)
            data = [{
                'storecode': store['storecode'],
                'storename': store['storename'],
                'address': store['address'],
                'phone': store['phone'] or '',
                'starttime': store['starttime'],
                'endtime': store['endtime'],
                'boolOpenTime': self._open_flag(store),
                'lat': store['lat'],
                'lng': store['lng'],
                'distance': self._distance(store, post),
            } for store in stores]
            res = {'code': 200, 'message': '获取店铺信息成功', 'data': data}
        except Exception as e:
            create_api_log(log_title='关键字获取店铺信息', log_role='卡卷后台位置', log=e)
            res = {'code': 200, 'message': '获取店铺信息成功', 'data': []}
        return http.Response(json.dumps(res), status=200, content_type='application/json')

    @http.route('/api/post_kfc_store_lbs', auth='public', cors="*", csrf=False, methods=['POST'])
    def post_kfc_store_lbs(self, **post):
        create_api_log(log_title='经纬度获取店铺信息', log_role='前端', log=post)
        path = '/KFCCore.asmx/KFC_GetStoreByLbs'
        payload = {'token': self._backend_token(), 'lat': post['user_lat'], 'lng': post['user_lng']}
        result = self._post_catalogue(path, payload)
        try:
            result = self._renewed(path, payload, result)
            stores = json.loads(result['d']['data'])['stores']
            data = [{
                'storecode': store.get('storecode', ''),
                'storename': store.get('storename', ''),
                'address': store.get('address', ''),
                'phone': store.get('phone', ''),
                'starttime': store.get('starttime', ''),
                'endtime': store.get('endtime', ''),
                'boolOpenTime': self._open_flag(store),
                'lat': store['lat'],
                'lng': store['lng'],
                'distance': self._distance(store, post),
            } for store in stores]
            res = {'code': 200, 'message': '获取店铺信息成功', 'data': data}
        except Exception as e:
            create_api_log(log_title='经纬度获取店铺信息', log_role='卡卷后台位置', log=e)
            res = {'code': 200, 'message': '获取店铺信息成功', 'data': []}
        return http.Response(json.dumps(res), status=200, content_type='application/json')

    # -- menus -----------------------------------------------------------------------------

    @http.route('/api/post_menu_list', auth='public', cors="*", csrf=False, methods=['POST'])
    def post_menu_list(self, **post):
        create_api_log(log_title='查询菜单开始', log_role='卡券', log='post_menu_list')
        path = '/KFCCore.asmx/KFCAPI_GetMenu'
        # Read once: every account's payload carries it, also after a renewal in the loop.
        token = self._backend_token()
        account_ids = request.env['account.config'].sudo().search([('effective', '=', True)])
        menu = None
        # Accounts whose reply had no envelope: the back-end refuses them, or it is failing as
        # a whole (an ASP.NET service answers any exception of its own so); only a menu from
        # another account of this request tells the two apart.
        unenveloped_ids = request.env['account.config'].sudo()
        for account_id in account_ids:
            payload = {'token': token, 'date': post['date'], 'storecode': post['storecode'],
                       'ticket': account_id.ticket, 'deviceid': account_id.deviceid, 'linkid': ''}
            try:
                # A time-out, a lost connection or a reply that is not JSON is no answer.
                result = self._post_catalogue(path, payload)
                create_api_log(log_title='获取菜单信息', log_role='卡卷后台获取菜单', log=result)
                if 'd' in result and result['d']['code'] == -2:
                    result = self._post_catalogue(path, kfc_login(payload))
                if isinstance(result, dict) and 'd' not in result:
                    unenveloped_ids |= account_id
                    continue
                if result['d']['code'] == 0:
                    menu = json.loads(result['d']['data'])
                    break
            except Exception as e:
                create_api_log(log_title='获取菜单信息', log_role='卡卷后台获取菜单', log=e)
        if menu is not None:
            # The back-end is up and answered another account: these ones it no longer knows.
            unenveloped_ids.write({'effective': False})
        data = self._menu_categories(self._saleable_link_ids(menu or []))
        res = {'code': 200, 'message': '获取菜单信息成功', 'data': data}
        create_api_log(log_title='查询菜单结束', log_role='卡券', log='post_menu_list')
        return http.Response(json.dumps(res), status=200, content_type='application/json')

    def _saleable_link_ids(self, menu):
        # A class with sub-classes sells only what its sub-classes list.
        saleable = set()
        for menu_class in menu:
            if 'childClassList' in menu_class:
                sections = menu_class['childClassList']
            else:
                sections = [menu_class]
            for section in sections:
                for dish in section.get('menuList', []):
                    if dish.get('saleFlag') == 'Y':
                        saleable.add(dish.get('linkId', ''))
        return saleable

    def _on_sale(self, product_id, saleable):
        # Every back-end dish of the product must be on sale; a product without one is not.
        link_id = product_id.link_id
        if not isinstance(link_id, str):
            return False
        return all(part in saleable for part in re.split('[,，]', link_id))

    def _dish(self, product_id):
        return {
            'num': 0,
            'product_id': product_id.id,
            'link_id': product_id.id,
            'coupon_id': [],
            'type': '2',
            'name': product_id.name,
            'remark': product_id.remark,
            'unit_price': product_id.unit_price,
            'image': product_id.image,
        }

    def _menu_categories(self, saleable):
        product_model = request.env['kfc.product'].sudo()
        groups = product_model.read_group(
            [], ['link_id', 'name', 'remark', 'unit_price', 'image'], ['type_id'])
        # Products without a category have no place in the menu.
        type_ids = [group['type_id'][0] for group in groups if group['type_id']]
        # The whole catalogue in one search, not one per group: a group's products are those
        # of its type, in the same order.
        product_ids = product_model.search([('type_id', 'in', type_ids)])
        products_by_type = defaultdict(list)
        for product_id in product_ids:
            products_by_type[product_id.type_id.id].append(product_id)
        # Read the choices of all multi-choice dishes and their child dishes together, rather
        # than dish by dish.
        line_ids = product_ids.filtered('is_multiple').mapped('line_ids')
        line_ids.mapped('product_id').mapped('link_id')
        line_model = request.env['kfc.product.line'].sudo()
        child_ids = set(line_model.search([('product_id', '!=', False)]).mapped('product_id').ids)
        categories = []
        for type_id in request.env['kfc.product.type'].sudo().browse(type_ids):
            dishes = self._category_dishes(products_by_type[type_id.id], child_ids, saleable)
            if dishes:
                categories.append({'number': type_id.number, 'name': type_id.name,
                                   'icon': type_id.image, 'children': dishes})
        # sorted() is stable: equal numbers keep the order of the grouping.
        return sorted(categories, key=lambda category: category['number'])

    def _category_dishes(self, product_ids, child_ids, saleable):
        dishes = []
        for product_id in product_ids:
            if product_id.is_multiple:
                # Listed for its saleable child dishes; its own link id plays no part.
                children = [self._dish(line.product_id) for line in product_id.line_ids
                            if self._on_sale(line.product_id, saleable)]
                if children:
                    dish = self._dish(product_id)
                    dish['grandchild'] = children
                    dish['is_multiple'] = product_id.is_multiple
                    dishes.append(dish)
            elif product_id.id not in child_ids and self._on_sale(product_id, saleable):
                # A child dish is shown only inside its multi-choice dishes.
                dish = self._dish(product_id)
                dish['is_multiple'] = product_id.is_multiple
                dishes.append(dish)
        return dishes

    @http.route('/api/post_local_menu_list', auth='public', cors="*", csrf=False, methods=['POST'])
    def post_local_menu_list(self, **post):
        # The catalogue's rule, shared with the back office's synchronisation.
        request.env['kfc.product'].sudo()._kfc_sync_menu(post['storecode'], post['date'])
        res = {'code': 200, 'message': '同步菜单信息成功'}
        return http.Response(json.dumps(res), status=200, content_type='application/json')
