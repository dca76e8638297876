"""WeChat Pay APIv3 as a merchant's server meets it, one job a module: what every exchange
shares (``apiv3``: signatures, errors), JSAPI payments (``payments``), refunds (``refunds``),
the daily trade bill (``trade_bill``), notifications and their redelivery (``notifications``),
and what a merchant must not trust, made on request (``forgery``).
"""
from .apiv3 import Apiv3
from .forgery import Forgery
from .notifications import Notifications
from .payments import Payments
from .refunds import Refunds
from .trade_bill import TradeBill


class WechatPayService:
    name = 'wechatpay'

    def __init__(self, state):
        apiv3 = Apiv3(state)
        self.notifications = Notifications(state, apiv3)
        self.payments = Payments(state, apiv3, self.notifications)
        self.refunds = Refunds(state, apiv3, self.notifications)
        self.bill = TradeBill(state, apiv3)
        self.forgery = Forgery(state, apiv3, self.notifications, self.payments)

    def routes(self):
        return self.payments.routes() + self.refunds.routes() + self.bill.routes()
