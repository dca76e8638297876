"""Helpers of the store catalogue tests: the sandbox's coupon back-end seen from a test, reply
texts as the front end gets them, and (stand-in only) a frozen clock in the server process."""
import configparser
import datetime
import importlib
import json
import os
from pathlib import Path

import pytz



def _deployment():
    """The [deployment] constants the controllers were built with."""
    path = os.environ.get('ROUTEWEAVE_DEPLOYMENT') or Path(__file__).parents[2] / 'deployment.ini'
    parser = configparser.ConfigParser(interpolation=None)
    parser.read(path, encoding='utf-8')
    return parser['deployment']


IMAGE_PREFIX = _deployment()['image_host_prefix']
SHANGHAI = pytz.timezone('Asia/Shanghai')
CITY_PATH = '/KFCCore.asmx/KFC_GetCity'
KEYWORD_PATH = '/KFCCore.asmx/KFC_GetStoreByCityAndKeyWord'
LBS_PATH = '/KFCCore.asmx/KFC_GetStoreByLbs'
MENU_PATH = '/KFCCore.asmx/KFCAPI_GetMenu'
LOGIN_PATH = '/KFCCore.asmx/KFC_Login'

STORES_OBTAINED = '\\u83b7\\u53d6\\u5e97\\u94fa\\u4fe1\\u606f\\u6210\\u529f'    # 获取店铺信息成功
STORE_FAILURE = '{"code": 200, "message": "%s", "data": []}' % STORES_OBTAINED


def envelope(data, code=0):
    """A back-end reply: ``data`` goes as JSON text (text is sent as it is)."""
    text = data if isinstance(data, str) else json.dumps(data, ensure_ascii=False)
    return {'d': {'code': code, 'msg': '', 'data': text}}


EXPIRED = envelope('', code=-2)


def reply_text(value):
    """A reply as the front end gets it: json.dumps with its default settings."""
    return json.dumps(value)


class Backend:
    """The sandbox's coupon back-end: scripted replies, the payloads it received, its token."""

    def __init__(self, host):
        self.host = host

    def script(self, path, *replies):
        """The next requests to ``path`` get these replies in order (None: as usual)."""
        self.host.control('coupon/script', path=path, replies=list(replies))

    def payloads(self, *paths):
        """(path, payload) of each request of those paths (all when none), oldest first; a
        payload is a list of (key, value) pairs in the order sent."""
        return [(entry['path'], json.loads(entry['body'], object_pairs_hook=list))
                for entry in self.host.inspect('coupon/payloads')['payloads']
                if not paths or entry['path'] in paths]

    def paths(self):
        return [path for path, _ in self.payloads()]

    def stored_token(self):
        with self.host.env() as env:
            return env['ir.config_parameter'].get_param('token')

    def store_token(self, token):
        with self.host.env() as env:
            env['ir.config_parameter'].set_param('token', token)

    def valid_token(self):
        """A token the back-end accepts, stored as the host's back-end token."""
        token = self.host.control('coupon/login')['token']
        self.store_token(token)
        return token


# -- stand-in only: hooks inside the server process ---------------------------------------------

def kfc_host_module():
    """The host module whose globals the catalogue controller's routes read."""
    return importlib.import_module('odoo.addons.kfc_coupon_shop.controllers.kfc')


def frozen_datetime(moment):
    """A datetime class whose clock stands still at ``moment`` (an aware datetime)."""
    class FrozenDatetime(datetime.datetime):
        @classmethod
        def now(cls, tz=None):
            if tz is None:
                return moment.astimezone().replace(tzinfo=None)   # the process's local time
            return moment.astimezone(tz)

        @classmethod
        def utcnow(cls):
            return moment.astimezone(pytz.utc).replace(tzinfo=None)

        @classmethod
        def today(cls):
            return cls.now()
    return FrozenDatetime


def shanghai_moment(clock_time, day=datetime.date(2024, 6, 1)):
    return SHANGHAI.localize(datetime.datetime.combine(day, clock_time))
