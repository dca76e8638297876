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

COLUMNS = (
    '交易时间', '公众账号ID', '商户号', '特约商户号', '设备号', '微信订单号', '商户订单号',
    '用户标识', '交易类型', '交易状态', '付款银行', '货币种类', '应结订单金额', '代金券金额',
    '微信退款单号', '商户退款单号', '退款金额', '充值券退款金额', '退款类型', '退款状态',
    '商品名称', '商户数据包', '手续费', '费率', '订单金额', '申请退款金额', '费率备注',
)
TOTALS_COLUMNS = ('总交易单数', '应结订单总金额', '退款总金额', '充值券退款总金额',
                  '手续费总金额', '订单总金额', '申请退款总金额')
FEE_RATE = decimal.Decimal('0.006')
CHINA = datetime.timezone(datetime.timedelta(hours=8))


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
