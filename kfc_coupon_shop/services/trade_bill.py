"""WeChat Pay's daily trade bill (bill_type ALL), read into the day's payments and refunds.

The file is plain text: a header line, one line per payment that succeeded that day and per
refund WeChat Pay accepted that day, then a totals header and a totals line. Values are
separated by commas, and every value of a data or totals line carries a leading backquote
(which keeps spreadsheets from reading the long numbers as floating point). Amounts are yuan
with two decimals. A refund line's status is the one it had when the bill was made (the next
morning) and is not updated afterwards.
"""
import dataclasses
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
REFUND_STATE = 'REFUND'         # 交易状态 of a refund's line; a payment's is SUCCESS


class BillError(ValueError):
    """The text is not a trade bill of the shape above."""


@dataclasses.dataclass
class Payment:
    out_trade_no: str
    transaction_id: str
    fen: int                    # 订单金额: the amount the shop asked for
    state: str
    time: datetime.datetime     # China time, as written


@dataclasses.dataclass
class Refund:
    out_refund_no: str
    out_trade_no: str
    fen: int                    # 申请退款金额: the amount the shop asked for
    status: str                 # SUCCESS, PROCESSING, ... when the bill was made
    time: datetime.datetime     # when WeChat Pay accepted it, China time


@dataclasses.dataclass
class Bill:
    payments: list
    refunds: list
    totals: dict


def parse(text):
    """The Bill written in ``text``; BillError when it is not one."""
    lines = [line for line in text.splitlines() if line.strip()]
    if len(lines) < 3 or lines[0].split(',') != list(COLUMNS) \
            or lines[-2].split(',') != list(TOTALS_COLUMNS):
        raise BillError('not a trade bill: its headers are not those of bill_type ALL')
    totals = dict(zip(TOTALS_COLUMNS, _values(lines[-1], len(TOTALS_COLUMNS))))
    rows = [dict(zip(COLUMNS, _values(line, len(COLUMNS)))) for line in lines[1:-2]]
    if totals['总交易单数'] != str(len(rows)):
        raise BillError('the bill counts %s lines and holds %d' % (totals['总交易单数'], len(rows)))
    bill = Bill([], [], totals)
    for row in rows:
        if row['交易状态'] == REFUND_STATE:
            bill.refunds.append(Refund(row['商户退款单号'], row['商户订单号'],
                                       fen_of(row['申请退款金额']), row['退款状态'], _time(row)))
        else:
            bill.payments.append(Payment(row['商户订单号'], row['微信订单号'],
                                         fen_of(row['订单金额']), row['交易状态'], _time(row)))
    return bill


def fen_of(yuan):
    """Fen of an amount written in yuan ("29.80")."""
    try:
        fen = decimal.Decimal(yuan) * 100
    except decimal.InvalidOperation:
        raise BillError('%r is not an amount' % yuan) from None
    if fen != fen.to_integral_value():
        raise BillError('%r is not a whole number of fen' % yuan)
    return int(fen)


def _values(line, count):
    # Each value starts with a backquote, so ",`" separates them even where a product name
    # holds a comma.
    if not line.startswith('`'):
        raise BillError('a bill line without its backquotes: %r' % line[:80])
    values = line[1:].split(',`')
    if len(values) != count:
        raise BillError('a bill line of %d values, not %d: %r' % (len(values), count, line[:80]))
    return values


def _time(row):
    try:
        return datetime.datetime.strptime(row['交易时间'], '%Y-%m-%d %H:%M:%S')
    except ValueError:
        raise BillError('%r is not a time' % row['交易时间']) from None
