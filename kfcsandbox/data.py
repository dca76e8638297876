"""The simulated world: cities, stores and the back-end menu.

The shapes are those the coupon back-end sends (coordinates as text, prices in fen, sometimes
as text), including its irregularities: one Chinese city name listed twice, pinyin names whose
initials are upper case in some entries and lower case in others, a store without a phone.
`geo` holds what the map service says about a place; the back-end never sends it.
"""

CITIES = [
    {'cityNameZh': '北京', 'cityNameEn': 'Beijing', 'gbCityCode': '110100',
     'latitude': '39.904211', 'longitude': '116.407394',
     'geo': {'province': '北京市', 'city': '北京市', 'district': '东城区', 'street': '王府井大街',
             'adcode': '110101'}},
    {'cityNameZh': '朝阳', 'cityNameEn': 'Chaoyang', 'gbCityCode': '211300',
     'latitude': '41.573734', 'longitude': '120.450372',
     'geo': {'province': '辽宁省', 'city': '朝阳市', 'district': '双塔区', 'street': '朝阳大街',
             'adcode': '211302'}},
    {'cityNameZh': '上海', 'cityNameEn': 'shanghai', 'gbCityCode': '310100',
     'latitude': '31.230416', 'longitude': '121.473701',
     'geo': {'province': '上海市', 'city': '上海市', 'district': '黄浦区', 'street': '南京东路',
             'adcode': '310101'}},
    {'cityNameZh': '苏州', 'cityNameEn': 'Suzhou', 'gbCityCode': '320500',
     'latitude': '31.298979', 'longitude': '120.585317',
     'geo': {'province': '江苏省', 'city': '苏州市', 'district': '姑苏区', 'street': '观前街',
             'adcode': '320508'}},
    {'cityNameZh': '张家港', 'cityNameEn': 'zhangjiagang', 'gbCityCode': '320582',
     'latitude': '31.875428', 'longitude': '120.555821',
     'geo': {'province': '江苏省', 'city': '苏州市', 'district': '张家港市', 'street': '长江西路',
             'adcode': '320582'}},
    {'cityNameZh': '广州', 'cityNameEn': 'Guangzhou', 'gbCityCode': '440100',
     'latitude': '23.129110', 'longitude': '113.264385',
     'geo': {'province': '广东省', 'city': '广州市', 'district': '越秀区', 'street': '北京路',
             'adcode': '440104'}},
    {'cityNameZh': '深圳', 'cityNameEn': 'shenzhen', 'gbCityCode': '440300',
     'latitude': '22.543099', 'longitude': '114.057868',
     'geo': {'province': '广东省', 'city': '深圳市', 'district': '福田区', 'street': '深南大道',
             'adcode': '440304'}},
    {'cityNameZh': '成都', 'cityNameEn': 'Chengdu', 'gbCityCode': '510100',
     'latitude': '30.572815', 'longitude': '104.066801',
     'geo': {'province': '四川省', 'city': '成都市', 'district': '锦江区', 'street': '春熙路',
             'adcode': '510104'}},
    # The back-end also lists Beijing's Chaoyang district as a city: a second "朝阳".
    {'cityNameZh': '朝阳', 'cityNameEn': 'chaoyangqu', 'gbCityCode': '110105',
     'latitude': '39.921506', 'longitude': '116.443108',
     'geo': {'province': '北京市', 'city': '北京市', 'district': '朝阳区', 'street': '建国路',
             'adcode': '110105'}},
]


def _store(code, name, city_code, address, phone, lat, lng, start='07:00', end='23:00',
           open_now=True):
    return {
        'storecode': code,
        'storename': name,
        'gbcitycode': city_code,
        'address': address,
        'phone': phone,
        'starttime': start,
        'endtime': end,
        'bookingMerge': {'boolOpenTime': open_now, 'bookingFlag': 'Y' if open_now else 'N'},
        'lat': lat,
        'lng': lng,
    }


STORES = [
    _store('BJ1001', '王府井店', '110100', '北京市东城区王府井大街138号新东安广场一层',
           '010-65280193', '39.913890', '116.410320', '06:30', '23:30'),
    _store('BJ1002', '中关村店', '110100', '北京市海淀区中关村大街19号新中关购物中心B1层',
           None, '39.978910', '116.313600'),
    _store('BJ1003', '西单店', '110100', '北京市西城区西单北大街120号', '010-66021782',
           '39.910750', '116.373800', '00:00', '23:59'),
    _store('CY2001', '朝阳大街店', '211300', '辽宁省朝阳市双塔区朝阳大街三段88号',
           '0421-2612345', '41.574500', '120.451200'),
    _store('CY2002', '国贸店', '110105', '北京市朝阳区建国门外大街1号国贸商城B1层',
           '010-65052266', '39.908900', '116.459600'),
    _store('SH3001', '南京东路店', '310100', '上海市黄浦区南京东路588号', '021-63225127',
           '31.236400', '121.479100', '06:00', '23:59'),
    _store('SH3002', '徐家汇店', '310100', '上海市徐汇区虹桥路1号港汇恒隆广场B1层',
           '021-64070158', '31.195200', '121.437300'),
    _store('SZ4001', '观前街店', '320500', '江苏省苏州市姑苏区观前街245号', '0512-65232118',
           '31.309800', '120.622700', '07:00', '22:00', open_now=False),
    _store('QG1298', '王家港大润发', '320582', '长江西路345号城发悦邻广场负一层大润发超市',
           '0512-58156632', '31.874300', '120.540200', '08:00', '21:30'),
    _store('GZ5001', '北京路店', '440100', '广东省广州市越秀区北京路238号', '020-83333451',
           '23.125300', '113.269800'),
    _store('SZ6001', '华强北店', '440300', '广东省深圳市福田区华强北路1019号', '0755-83221457',
           '22.545800', '114.088900'),
    _store('CD7001', '春熙路店', '510100', '四川省成都市锦江区春熙路南段8号', '028-86658790',
           '30.655100', '104.079900', '06:30', '23:59'),
]


def _dish(link_id, name, price, sale='Y', image=None, desc=''):
    dish = {
        'linkId': link_id,
        'nameCn': name,
        'price': price,
        'saleFlag': sale,
        'imageUrl': image if image is not None else '/menu/%s.png' % link_id.lower(),
        'descCn': desc,
    }
    return dish


# The menu served for every store; sale flags can be changed per store from the control side.
MENU = [
    {'classId': 'C01', 'className': '超值汉堡', 'menuList': [
        _dish('B1001', '香辣鸡腿堡', 1990, desc='香辣酥脆，经典之选'),
        _dish('B1002', '劲脆鸡腿堡', 1990, desc='外酥里嫩'),
        _dish('B1003', '新奥尔良烤鸡腿堡', 2090, sale='N', desc='奥尔良风味烤鸡腿肉'),
        _dish('B1004', '老北京鸡肉卷', '1650', desc='葱香酱香'),
    ]},
    {'classId': 'C02', 'className': '小食', 'menuList': [
        _dish('S2001', '薯条(中)', '1200', desc='金黄酥脆'),
        _dish('S2002', '上校鸡块(5块)', 1300),
        _dish('S2003', '黄金鸡块(5块)', 1300),
        _dish('S2004', '葡式蛋挞(2只)', 1400, sale='N'),
    ]},
    # Drinks come in sub-classes; the class's own list is shown by the app but not sold here.
    {'classId': 'C03', 'className': '饮品', 'menuList': [
        _dish('D3009', '夏日特饮(推荐)', 1000, sale='Y', image=''),
    ], 'childClassList': [
        {'classId': 'C0301', 'className': '冷饮', 'menuList': [
            _dish('D3001', '百事可乐(中)', 900),
            _dish('D3002', '九珍果汁饮料(中)', 1100, sale='N'),
        ]},
        {'classId': 'C0302', 'className': '热饮', 'menuList': [
            _dish('D3003', '醇香热咖啡', '1300', sale='y'),
            _dish('D3004', '热豆浆', 600),
        ]},
    ]},
    {'classId': 'C04', 'className': '早餐', 'menuList': [
        _dish('E4001', '培根蛋帕尼尼', 1500, sale='N'),
        _dish('E4002', '香菇鸡肉粥', 1100, sale='N'),
    ]},
]


def city_by_code(code):
    for city in CITIES:
        if city['gbCityCode'] == code:
            return city
    return None


def store_by_code(code):
    for store in STORES:
        if store['storecode'] == code:
            return store
    return None


def menu_dishes(menu):
    """Every dish of a menu: own lists and sub-class lists."""
    for menu_class in menu:
        yield from menu_class.get('menuList', [])
        for sub in menu_class.get('childClassList', []):
            yield from sub.get('menuList', [])
