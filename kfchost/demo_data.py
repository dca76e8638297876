"""Demo records of the shop, as plain data: no ORM here, the records layer loads it.

The values agree with the sandbox's defaults (kfcsandbox.config and kfcsandbox.data): the "wxapi"
credentials, the back-end accounts and the link ids of the menu, so that a demo server talking to
the sandbox shows a working shop. They are sandbox credentials, never production ones.

Links between records are written as "ref" names: a record with "ref" can be pointed at from
another record's field of the same name without the "_id" ending ("type", "product", "parent").
Link ids join several back-end dishes with "," or "，"; a product is sold only when all are.
"""

IMAGE_PREFIX = 'https://img.routeweave.example'

API_CONFIGS = [
    {'name': 'wxapi', 'app_id': 'wx7d3f5a9c2e1b4068', 'secret': 'a3f1c9e27b5d48f0a6c2e9b17d3f5a08'},
]

# The first account is one the back-end no longer recognises: the first menu query switches
# it off and goes on with the next one, as happens in production when a device is revoked.
ACCOUNT_CONFIGS = [
    {'effective': True, 'ticket': 'TK-0REVOKED000', 'deviceid': 'DEV-RW-0000'},
    {'effective': True, 'ticket': 'TK-7F3A91C2D4E5', 'deviceid': 'DEV-RW-0001'},
    {'effective': True, 'ticket': 'TK-2B8E4F60A1C3', 'deviceid': 'DEV-RW-0002'},
]

KEYWORD_CONFIGS = [
    {'name': 'hot_search', 'keyword': '汉堡，鸡块，薯条，可乐，咖啡'},
    {'name': 'hot_city', 'keyword': '北京，上海，苏州，张家港，广州，深圳'},
    {'name': 'notice', 'keyword': '兑换券仅限门店自取，不支持外送，出餐后凭取餐码取餐'},
]

PRODUCT_TYPES = [
    {'ref': 'type_burger', 'number': 1, 'name': '超值汉堡', 'image': IMAGE_PREFIX + '/type/burger.png'},
    {'ref': 'type_snack', 'number': 2, 'name': '小食', 'image': IMAGE_PREFIX + '/type/snack.png'},
    {'ref': 'type_drink', 'number': 3, 'name': '饮品', 'image': IMAGE_PREFIX + '/type/drink.png'},
    {'ref': 'type_breakfast', 'number': 4, 'name': '早餐',
     'image': IMAGE_PREFIX + '/type/breakfast.png'},
]


def _product(ref, name, link_id, unit_price, type_ref, remark='', is_multiple=False):
    image = '%s/menu/%s.png' % (IMAGE_PREFIX, ref.replace('_', '-'))
    return {'ref': ref, 'name': name, 'remark': remark, 'image': image, 'link_id': link_id,
            'unit_price': unit_price, 'type': type_ref, 'is_multiple': is_multiple}


PRODUCTS = [
    # A multi-choice dish: the customer picks one of three burgers; its own link id plays no part.
    _product('burger_choice', '汉堡三选一', 'M9001', 19.9, 'type_burger',
             '香辣鸡腿堡、劲脆鸡腿堡、新奥尔良烤鸡腿堡任选其一', is_multiple=True),
    _product('burger_spicy', '香辣鸡腿堡', 'B1001', 19.9, 'type_burger', '香辣酥脆，经典之选'),
    _product('burger_crispy', '劲脆鸡腿堡', 'B1002', 19.9, 'type_burger', '外酥里嫩'),
    _product('burger_orleans', '新奥尔良烤鸡腿堡', 'B1003', 20.9, 'type_burger', '奥尔良风味烤鸡腿肉'),
    _product('wrap_beijing', '老北京鸡肉卷', 'B1004', 16.5, 'type_burger', '葱香酱香'),
    _product('fries_medium', '薯条(中)', 'S2001', 12.0, 'type_snack', '金黄酥脆'),
    _product('nuggets_colonel', '上校鸡块(5块)', 'S2002', 13.0, 'type_snack'),
    _product('nuggets_duo', '鸡块双拼', 'S2002，S2003', 24.0, 'type_snack', '上校鸡块与黄金鸡块各5块'),
    _product('egg_tart', '葡式蛋挞(2只)', 'S2004', 14.0, 'type_snack', '层层酥皮'),
    _product('fries_cola', '薯条可乐组合', 'S2001,D3001', 19.0, 'type_snack', '薯条(中)+百事可乐(中)'),
    _product('cola_medium', '百事可乐(中)', 'D3001', 9.0, 'type_drink'),
    _product('juice_medium', '九珍果汁饮料(中)', 'D3002', 11.0, 'type_drink'),
    _product('soy_milk', '热豆浆', 'D3004', 6.0, 'type_drink'),
    _product('coffee_hot', '醇香热咖啡', 'D3003', 13.0, 'type_drink'),
    _product('panini_bacon', '培根蛋帕尼尼', 'E4001', 15.0, 'type_breakfast'),
    _product('congee_chicken', '香菇鸡肉粥', 'E4002', 11.0, 'type_breakfast'),
]

# Child dishes of the multi-choice dish (kfc.product.line: parent_product_id, product_id).
PRODUCT_LINES = [
    {'parent': 'burger_choice', 'product': 'burger_spicy'},
    {'parent': 'burger_choice', 'product': 'burger_crispy'},
    {'parent': 'burger_choice', 'product': 'burger_orleans'},
]

COUPONS = [
    {'name': '汉堡三选一兑换券', 'code': 'RW2024HB0001', 'state': 'draft', 'product': 'burger_choice',
     'start_date': '2024-06-01'},
    {'name': '汉堡三选一兑换券', 'code': 'RW2024HB0002', 'state': 'draft', 'product': 'burger_choice',
     'start_date': '2024-06-01'},
    {'name': '香辣鸡腿堡兑换券', 'code': 'RW2024XL0001', 'state': 'draft', 'product': 'burger_spicy',
     'start_date': '2024-06-01'},
    {'name': '老北京鸡肉卷兑换券', 'code': 'RW2024JR0001', 'state': 'draft', 'product': 'wrap_beijing',
     'start_date': '2024-07-01'},
    {'name': '薯条(中)兑换券', 'code': 'RW2024ST0001', 'state': 'draft', 'product': 'fries_medium',
     'start_date': '2024-06-15'},
    {'name': '薯条(中)兑换券', 'code': 'RW2024ST0002', 'state': 'draft', 'product': 'fries_medium',
     'start_date': '2024-06-15'},
    {'name': '百事可乐(中)兑换券', 'code': 'RW2024KL0001', 'state': 'draft', 'product': 'cola_medium',
     'start_date': '2024-06-15'},
    {'name': '鸡块双拼兑换券', 'code': 'RW2024JK0001', 'state': 'draft', 'product': 'nuggets_duo',
     'start_date': '2024-08-01'},
]

# Load order: every record appears after the records it points at.
MODELS = [
    ('api.config', API_CONFIGS),
    ('account.config', ACCOUNT_CONFIGS),
    ('keyword.config', KEYWORD_CONFIGS),
    ('kfc.product.type', PRODUCT_TYPES),
    ('kfc.product', PRODUCTS),
    ('kfc.product.line', PRODUCT_LINES),
    ('kfc.coupon', COUPONS),
]
