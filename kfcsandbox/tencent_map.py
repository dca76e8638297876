"""Tencent Map web service: the reverse geocoder /ws/geocoder/v1/.

Always HTTP 200; the JSON "status" carries the outcome, every reply has a "request_id", and an
error reply has no "result". A location resolves to the nearest sandbox city.
"""
import re

from geopy.distance import geodesic

from .data import CITIES
from .replies import json_response, request_id

KEY_FORMAT = re.compile(r'^[A-Z0-9]{5}(-[A-Z0-9]{5}){5}$')
_ERRORS = {
    190: '无效的key',
    301: '缺少必要字段key',
    306: '缺少参数location',
    310: '请求参数信息有误',
    311: 'key格式错误',
    365: '纬度不能超过±90',
    366: '经度不能超过±180',
}


def _error(status):
    return json_response({'status': status, 'message': _ERRORS[status], 'request_id': request_id()})


def parse_location(text):
    """(lat, lng) from "lat,lng", or a status code explaining why not."""
    parts = text.split(',')
    if len(parts) != 2:
        return 310
    try:
        lat, lng = float(parts[0]), float(parts[1])
    except ValueError:
        return 310
    if lat != lat or lng != lng:   # NaN
        return 310
    if not -90 <= lat <= 90:
        return 365
    if not -180 <= lng <= 180:
        return 366
    return lat, lng


def nearest_city(lat, lng):
    return min(CITIES, key=lambda city: geodesic(
        (lat, lng), (float(city['latitude']), float(city['longitude']))).km)


class TencentMapService:
    name = 'tencent_map'

    def __init__(self, state):
        self.state = state
        self.config = state.config

    def routes(self):
        return [('/ws/geocoder/v1/', ['GET'], self.geocoder)]

    def geocoder(self, request):
        key = request.args.get('key')
        if not key:
            return _error(301)
        if not KEY_FORMAT.match(key):
            return _error(311)
        if key != self.config.tencent_map_key:
            return _error(190)
        location = request.args.get('location')
        if not location:
            return _error(306)
        parsed = parse_location(location)
        if isinstance(parsed, int):
            return _error(parsed)
        return json_response({'status': 0, 'message': 'query ok', 'request_id': request_id(),
                              'result': self._result(*parsed)})

    def _result(self, lat, lng):
        geo = nearest_city(lat, lng)['geo']
        street_number = '%s%d号' % (geo['street'], 1 + int(abs(lat * 1000 + lng * 1000)) % 300)
        address = geo['province'] + ('' if geo['city'] == geo['province'] else geo['city']) \
            + geo['district'] + street_number
        return {
            'location': {'lat': lat, 'lng': lng},
            'address': address,
            'formatted_addresses': {'recommend': geo['district'] + geo['street'],
                                    'rough': geo['district'] + geo['street']},
            'address_component': {
                'nation': '中国', 'province': geo['province'], 'city': geo['city'],
                'district': geo['district'], 'street': geo['street'],
                'street_number': street_number},
            'ad_info': {
                'nation_code': '156', 'adcode': geo['adcode'],
                'city_code': '156' + geo['adcode'][:4] + '00',
                'name': ','.join(['中国', geo['province'], geo['city'], geo['district']]),
                'location': {'lat': lat, 'lng': lng},
                'nation': '中国', 'province': geo['province'], 'city': geo['city'],
                'district': geo['district']},
        }
