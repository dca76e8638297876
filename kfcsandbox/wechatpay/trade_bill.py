"""WeChat Pay's daily trade bill (APIv3 "申请交易账单" and "下载账单"), as the simulator writes it.

What WeChat Pay's documentation says, and this simulator does:

* ``GET /v3/bill/tradebill?bill_date=yyyy-MM-dd&bill_type=ALL`` (signed as every APIv3 request)
  answers a signed JSON reply ``{"hash_type": "SHA1", "hash_value": <hex SHA-1 of the file>,
  "download_url": "https://api.mch.weixin.qq.com/v3/billdownload/file?token=..."}``; the address
  is good for a few minutes (30 s in the older pages, 5 min in the newer ones). A day without a
  payment or refund has no bill: 400 ``NO_STATEMENT_EXIST`` "请求的账单文件不存在".
  (pay.weixin.qq.com/wiki/doc/apiv3/apis/chapter7_9_1.shtml, pay.weixin.qq.com/doc/v3/merchant/
  4012556654, pay.weixin.qq.com/doc/v3/merchant/4013071254)
* The download is a GET of that address signed as any APIv3 request; its reply carries no
  Wechatpay-Signature, so the merchant checks the file against ``hash_value`` instead.
  (pay.weixin.qq.com/wiki/doc/apiv3/apis/chapter7_3_9.shtml, pay.weixin.qq.com/doc/v3/merchant/
  4012084430)
* The file: a header line, one line per payment that succeeded that day and per refund accepted
  that day ("退款发起成功就会出账"; its 交易时间 is when the refund was accepted, not when it
  succeeded, and its 退款状态 is not updated after the bill is made), then the totals header and
  the totals line. Values are separated by commas; every value of a data or totals line starts
  with a backquote. Amounts are yuan with two decimals, 手续费 with five, 费率 like "0.60%";
  特约商户号 is 0 for an ordinary merchant; a payment's 微信退款单号 and 商户退款单号 are 0.
  The 27 columns of ALL and the 7 totals are in COLUMNS and TOTALS_COLUMNS below.
  (pay.weixin.qq.com/docs/merchant/products/bill-download/format-trade.html; the sample lines
  of developers.weixin.qq.com/minigame/dev/wxcloudrun/src/development/pay/order/bill.html)

Where the documentation found says nothing, this simulator chooses, and a host must not rely
on it: a refund's line carries 0.00 in 应结订单金额 and 订单金额 (the one sample's totals, 12
lines, 0.06 settled and ordered, 0.06 refunded, agree with that and with 总交易单数 counting
payments and refunds alike), and the fee given back as a negative 手续费; lines end in "\\n";
only bill_type ALL is served, never gzipped. WeChat Pay makes a day's bill after 9:00 the next
morning (before that: 400 ``STATEMENT_CREATING`` "账单生成中") and keeps it; the simulator
writes it whenever it is asked for, today's too, from what it holds at that moment.
"""
import datetime
import decimal
import hashlib
import re
import secrets

from werkzeug.wrappers import Response

from ..replies import request_id
from .apiv3 import CHINA, ApiError, Part

COLUMNS = (
    '交易时间', '公众账号ID', '商户号', '特约商户号', '设备号', '微信订单号', '商户订单号',
    '用户标识', '交易类型', '交易状态', '付款银行', '货币种类', '应结订单金额', '代金券金额',
    '微信退款单号', '商户退款单号', '退款金额', '充值券退款金额', '退款类型', '退款状态',
    '商品名称', '商户数据包', '手续费', '费率', '订单金额', '申请退款金额', '费率备注',
)
TOTALS_COLUMNS = ('总交易单数', '应结订单总金额', '退款总金额', '充值券退款总金额',
                  '手续费总金额', '订单总金额', '申请退款总金额')
FEE_RATE = decimal.Decimal('0.006')
BILL_DATE = re.compile(r'^\d{4}-\d{2}-\d{2}$')
# The bill's download address is WeChat Pay's own, as the real service answers it (a host in
# sandbox mode maps that origin onto the simulator); it is good for this many seconds.
DOWNLOAD_URL = 'https://api.mch.weixin.qq.com/v3/billdownload/file?token=%s'
DOWNLOAD_TTL = 300


def yuan(fen):
    return '%d.%02d' % divmod(fen, 100) if fen >= 0 else '-' + yuan(-fen)


def fee(fen):
    """The fee of an amount: 0.60 %, rounded half up to the fen, written with five decimals."""
    cents = (decimal.Decimal(fen) * FEE_RATE).quantize(1, decimal.ROUND_HALF_UP)
    return '%s000' % yuan(int(cents))


def china_day(seconds):
    return datetime.datetime.fromtimestamp(seconds, CHINA).date()


def china_time(seconds):
    return datetime.datetime.fromtimestamp(seconds, CHINA).strftime('%Y-%m-%d %H:%M:%S')


def payment_line(order, mchid):
    total = order['total']
    return {
        '交易时间': china_time(order['success_time']), '公众账号ID': order.get('appid') or '',
        '商户号': mchid, '特约商户号': '0', '设备号': '', '微信订单号': order['transaction_id'],
        '商户订单号': order['out_trade_no'], '用户标识': order.get('openid') or '',
        '交易类型': 'JSAPI', '交易状态': 'SUCCESS', '付款银行': 'OTHERS', '货币种类': 'CNY',
        '应结订单金额': yuan(total), '代金券金额': '0.00', '微信退款单号': '0',
        '商户退款单号': '0', '退款金额': '0.00', '充值券退款金额': '0.00', '退款类型': '',
        '退款状态': '', '商品名称': order.get('description') or '', '商户数据包': '',
        '手续费': fee(total), '费率': '0.60%', '订单金额': yuan(total), '申请退款金额': '0.00',
        '费率备注': '',
    }


def refund_line(refund, order, mchid):
    amount = refund['refund']
    order = dict({'total': refund['total'], 'transaction_id': refund['transaction_id'],
                  'out_trade_no': refund['out_trade_no']}, **order)
    return dict(payment_line(dict(order, success_time=refund['created']), mchid), **{
        '交易状态': 'REFUND', '应结订单金额': '0.00', '微信退款单号': refund['refund_id'],
        '商户退款单号': refund['out_refund_no'], '退款金额': yuan(amount), '退款类型': 'ORIGINAL',
        '退款状态': refund['status'], '手续费': '-' + fee(amount), '订单金额': '0.00',
        '申请退款金额': yuan(amount)})


def write(lines):
    """The bill's text of the data ``lines`` (dicts by column), totals added."""
    def total(column):
        return sum(decimal.Decimal(line[column]) for line in lines)
    totals = [str(len(lines))] + ['%.2f' % total(column) for column in ('应结订单金额', '退款金额',
                                                                        '充值券退款金额')]
    totals += ['%.5f' % total('手续费'), '%.2f' % total('订单金额'), '%.2f' % total('申请退款金额')]
    text = [','.join(COLUMNS)]
    text += [','.join('`' + line[column] for column in COLUMNS) for line in lines]
    text += [','.join(TOTALS_COLUMNS), ','.join('`' + value for value in totals)]
    return '\n'.join(text) + '\n'


class TradeBill(Part):
    """The two endpoints, and the bill's lines changed on the control side's request."""

    def routes(self):
        return [
            ('/v3/bill/tradebill', ['GET'], self.trade_bill),
            ('/v3/billdownload/file', ['GET'], self.download_bill),
        ]

    def trade_bill(self, request):
        return self.apiv3.handle(request, self._trade_bill)

    def _trade_bill(self, request):
        bill_date = request.args.get('bill_date', '')
        if not BILL_DATE.match(bill_date):
            raise ApiError(400, 'PARAM_ERROR', '账单日期格式须为yyyy-MM-dd', {
                'field': 'bill_date', 'location': 'query', 'value': bill_date})
        if request.args.get('bill_type', 'ALL') != 'ALL' or request.args.get('tar_type'):
            raise ApiError(400, 'PARAM_ERROR', '沙箱仅提供不压缩的ALL类型账单')
        day = datetime.date.fromisoformat(bill_date)
        with self.state.lock:
            lines = self._lines(day)
            if not lines:
                raise ApiError(400, 'NO_STATEMENT_EXIST', '请求的账单文件不存在')
            text = write(lines).encode('utf-8')
            token = secrets.token_urlsafe(24)
            self.state.bill_files[token] = (text, self.state.clock() + DOWNLOAD_TTL)
        return {'hash_type': 'SHA1', 'hash_value': hashlib.sha1(text).hexdigest(),
                'download_url': DOWNLOAD_URL % token}

    def _lines(self, day):
        """The day's payments and accepted refunds, in time order, each changed as the control
        side asked (``amend``)."""
        mchid = self.config.mchid
        lines = [(order['success_time'], payment_line(order, mchid))
                 for order in self.state.transactions.values()
                 if order.get('success_time') and china_day(order['success_time']) == day]
        lines += [(refund['created'], refund_line(
                      refund, self.state.transactions.get(refund['out_trade_no'], {}), mchid))
                  for refund in self.state.refunds.values()
                  if china_day(refund['created']) == day]
        lines = [line for _, line in sorted(lines, key=lambda pair: pair[0])]
        for line in lines:
            number = line['商户退款单号'] if line['交易状态'] == 'REFUND' else line['商户订单号']
            line.update(self.state.bill_amendments.get(number, {}))
        return lines

    def download_bill(self, request):
        try:
            self.apiv3.authenticate(request)
        except ApiError as error:
            return error.response()
        with self.state.lock:
            text, expires = self.state.bill_files.get(request.args.get('token'), (None, 0))
        if text is None or expires < self.state.clock():
            return ApiError(400, 'INVALID_REQUEST', '下载地址已过期或无效').response()
        # Not signed: WeChat Pay sends the file without a Wechatpay-Signature.
        return Response(text, status=200, content_type='text/plain; charset=utf-8',
                        headers={'Request-ID': request_id()})

    def amend(self, number, column, value):
        """Make the bill line of payment or refund ``number`` show ``value`` in ``column``."""
        if column not in COLUMNS:
            raise ValueError('"column" must be a column of the trade bill')
        if column.endswith('金额'):
            try:
                decimal.Decimal(value)
            except decimal.InvalidOperation:
                raise ValueError('%s must be an amount in yuan' % column) from None
        with self.state.lock:
            self.state.bill_amendments.setdefault(number, {})[column] = value
            return dict(self.state.bill_amendments[number])
