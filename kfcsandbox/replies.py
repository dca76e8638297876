"""Reply builders shared by the simulators."""
import json
import secrets
import uuid

from werkzeug.wrappers import Response


def compact_json(value):
    """JSON as the Chinese services write it: no spaces, raw UTF-8."""
    return json.dumps(value, ensure_ascii=False, separators=(',', ':'))


def json_response(value, status=200, content_type='application/json; charset=utf-8', headers=None):
    return Response(compact_json(value).encode('utf-8'), status=status,
                    content_type=content_type, headers=headers)


def wechat_response(value, content_type='application/json; encoding=utf-8'):
    """api.weixin.qq.com style: HTTP 200, raw UTF-8, "/" written as "\\/".

    The content type is sent exactly as given; "text/plain" gets no charset, as on /sns/*.
    """
    text = compact_json(value).replace('/', '\\/')   # "/" only occurs inside JSON strings
    return Response(text.encode('utf-8'), status=200, content_type=content_type)


def rid():
    """The trace id WeChat appends to errmsg: "rid: 637ec754-5b28c0ef-058e9cba"."""
    return '-'.join(secrets.token_hex(4) for _ in range(3))


def wechat_error(errcode, errmsg, content_type='application/json; encoding=utf-8'):
    return wechat_response({'errcode': errcode, 'errmsg': '%s rid: %s' % (errmsg, rid())},
                           content_type)


def request_id():
    return uuid.uuid4().hex


def read_json(request):
    """The request body as JSON, or None when it is not JSON."""
    try:
        return json.loads(request.get_data() or b'null')
    except ValueError:
        return None
