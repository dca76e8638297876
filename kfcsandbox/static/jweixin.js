/* The sandbox's stand-in of WeChat's JS-SDK (jweixin-1.6.0.js): `wx.config`, `wx.ready`,
 * `wx.error` and `wx.getLocation`, with WeChat's calling conventions (success, fail, complete;
 * res.errMsg "<api>:ok" or "<api>:<reason>"); and of the `WeixinJSBridge` WeChat's browser
 * puts into every page, for `getBrandWCPayRequest`, the payment sheet.
 *
 * wx.config is verified by the sandbox as WeChat verifies it: the signature over the ticket in
 * force, the nonce, the timestamp and this page's address without its fragment. A failed
 * config calls the wx.error handlers and shows a red bar over the page, so that it is never
 * missed. APIs answer "permission denied" unless the config succeeded and listed them.
 *
 * Further APIs are added to `apis` below, each a function(options, settle).
 *
 * The payment sheet shows what the sandbox's WeChat Pay says of the pay parameters (the amount
 * and the merchant); the sandbox checks paySign as WeChat does and a refusal is shown, never
 * missed. "确认支付" pays (WeChat Pay notifies the merchant's server) and answers
 * "get_brand_wcpay_request:ok", closing the sheet answers ":cancel", a refusal ":fail".
 */
(function () {
    'use strict';

    var sandbox = new URL(document.currentScript.src).origin;
    var state = 'unconfigured';     // 'pending', 'ready' or 'failed'
    var granted = [];
    var failure = null;
    var readyHandlers = [];
    var errorHandlers = [];

    function call(handler, value) {
        if (typeof handler === 'function') {
            handler(value);
        }
    }

    function request(path, body) {
        var init = body === undefined ? {} : {
            method: 'POST',
            headers: {'Content-Type': 'text/plain'},
            body: JSON.stringify(body)
        };
        return fetch(sandbox + path, init).then(function (reply) {
            if (!reply.ok) {
                throw new Error('HTTP ' + reply.status);
            }
            return reply.json();
        });
    }

    function showFailure(res) {
        var bar = document.createElement('div');
        bar.setAttribute('role', 'alert');
        bar.setAttribute('data-sandbox', 'wx-config-error');
        bar.style.cssText = 'position:fixed;top:0;left:0;right:0;z-index:2147483647;' +
            'background:#fa5151;color:#fff;font:13px/1.4 sans-serif;padding:8px 12px;' +
            'word-break:break-all';
        bar.textContent = '沙箱微信：wx.config 失败（' + res.errMsg + '）；校验签名所用的页面地址：' +
            res.url;
        (document.body || document.documentElement).appendChild(bar);
    }

    function settleConfig(res) {
        if (res.errMsg === 'config:ok') {
            state = 'ready';
            readyHandlers.splice(0).forEach(function (handler) { call(handler); });
            return;
        }
        state = 'failed';
        failure = res;
        showFailure(res);
        errorHandlers.splice(0).forEach(function (handler) { call(handler, res); });
    }

    // Each API: function (options, settle), where settle(ok, res) ends the call.
    var apis = {
        getLocation: function (options, settle) {
            request('/jssdk/location').then(function (res) {
                settle(res.errMsg === 'getLocation:ok', res);
            }, function () {
                settle(false, {errMsg: 'getLocation:fail'});
            });
        }
    };

    function invoke(name, options) {
        options = options || {};
        function settle(ok, res) {
            call(ok ? options.success : options.fail, res);
            call(options.complete, res);
        }
        if (state !== 'ready' || granted.indexOf(name) < 0) {
            settle(false, {errMsg: name + ':permission denied'});
            return;
        }
        apis[name](options, settle);
    }

    var wx = {
        config: function (options) {
            state = 'pending';
            granted = (options.jsApiList || []).slice();
            request('/jssdk/config', {
                appId: options.appId,
                timestamp: String(options.timestamp),
                nonceStr: options.nonceStr,
                signature: options.signature,
                url: location.href
            }).then(settleConfig, function () {
                settleConfig({errMsg: 'config:fail', url: location.href.split('#')[0]});
            });
        },
        ready: function (handler) {
            if (state === 'ready') {
                call(handler);
            } else {
                readyHandlers.push(handler);
            }
        },
        error: function (handler) {
            if (state === 'failed') {
                call(handler, failure);
            } else {
                errorHandlers.push(handler);
            }
        }
    };
    Object.keys(apis).forEach(function (name) {
        wx[name] = function (options) { invoke(name, options); };
    });
    window.wx = window.jWeixin = wx;

    // -- WeixinJSBridge: the payment sheet ---------------------------------------------------

    var SHEET_CSS =
        '.wxpay-mask{position:fixed;inset:0;z-index:2147483646;background:rgba(0,0,0,.5);' +
        'display:flex;align-items:flex-end;font:15px/1.5 -apple-system,"PingFang SC",' +
        '"Noto Sans CJK SC","WenQuanYi Micro Hei",sans-serif;color:#111}' +
        '.wxpay-sheet{width:100%;background:#fff;border-radius:12px 12px 0 0;padding:16px 20px 28px;' +
        'text-align:center;position:relative}' +
        '.wxpay-close{position:absolute;left:12px;top:8px;border:0;background:none;font-size:26px;' +
        'color:#555;cursor:pointer}' +
        '.wxpay-title{font-size:13px;color:#888}.wxpay-merchant{margin-top:16px;color:#333}' +
        '.wxpay-amount{margin:4px 0 20px;font-size:36px;font-weight:600}' +
        '.wxpay-desc{margin-bottom:16px;color:#888;font-size:13px}' +
        '.wxpay-sheet button.wxpay-go{width:100%;padding:12px;border:0;border-radius:8px;' +
        'background:#07c160;color:#fff;font-size:17px;cursor:pointer}' +
        '.wxpay-sheet button.wxpay-go:disabled{opacity:.6}' +
        '.wxpay-refused{margin:20px 0;color:#fa5151;font-size:16px}';

    function element(tag, className, text) {
        var node = document.createElement(tag);
        node.className = className;
        if (text !== undefined) {
            node.textContent = text;
        }
        return node;
    }

    function openSheet() {
        if (!document.getElementById('wxpay-style')) {
            var style = document.createElement('style');
            style.id = 'wxpay-style';
            style.textContent = SHEET_CSS;
            document.head.appendChild(style);
        }
        var mask = element('div', 'wxpay-mask');
        var sheet = element('div', 'wxpay-sheet');
        sheet.setAttribute('role', 'dialog');
        sheet.setAttribute('aria-label', '微信支付');
        mask.appendChild(sheet);
        document.body.appendChild(mask);
        return {mask: mask, sheet: sheet};
    }

    function yuan(fen) {
        return '¥' + (fen / 100).toFixed(2);
    }

    function payParams(params) {
        var picked = {};
        ['appId', 'timeStamp', 'nonceStr', 'package', 'signType', 'paySign'].forEach(function (key) {
            picked[key] = params && params[key];
        });
        return picked;
    }

    function paySheet(params, callback) {
        var sent = payParams(params);
        var answered = false;
        var opened = openSheet();
        function answer(res) {
            if (!answered) {
                answered = true;
                opened.mask.remove();
                call(callback, res);
            }
        }
        function refuse(res) {
            // WeChat's refusal is shown until the payer acknowledges it, never skipped.
            var sheet = opened.sheet;
            sheet.replaceChildren();
            sheet.setAttribute('data-sandbox', 'pay-refused');
            sheet.appendChild(element('div', 'wxpay-title', '微信支付（沙箱）'));
            var reason = element('div', 'wxpay-refused', res.err_desc || res.err_msg);
            reason.setAttribute('role', 'alert');
            sheet.appendChild(reason);
            var ok = element('button', 'wxpay-go', '确定');
            ok.type = 'button';
            ok.onclick = function () { answer(res); };
            sheet.appendChild(ok);
        }
        function failed() {
            refuse({err_msg: 'get_brand_wcpay_request:fail', err_desc: '网络异常，请稍后重试'});
        }
        opened.sheet.appendChild(element('div', 'wxpay-title', '正在打开微信支付…'));
        request('/jssdk/pay/sheet', sent).then(function (res) {
            if (res.err_msg !== 'get_brand_wcpay_request:ok') {
                refuse(res);
                return;
            }
            var sheet = opened.sheet;
            sheet.replaceChildren();
            var close = element('button', 'wxpay-close', '×');
            close.type = 'button';
            close.setAttribute('aria-label', '关闭');
            close.onclick = function () { answer({err_msg: 'get_brand_wcpay_request:cancel'}); };
            var go = element('button', 'wxpay-go', '确认支付');
            go.type = 'button';
            go.onclick = function () {
                go.disabled = true;
                close.disabled = true;
                go.textContent = '支付中…';
                request('/jssdk/pay/confirm', sent).then(function (paid) {
                    if (paid.err_msg === 'get_brand_wcpay_request:ok') {
                        answer(paid);
                    } else {
                        refuse(paid);
                    }
                }, failed);
            };
            [close, element('div', 'wxpay-title', '微信支付（沙箱）'),
             element('div', 'wxpay-merchant', res.merchant),
             element('div', 'wxpay-amount', yuan(res.total)),
             element('div', 'wxpay-desc', res.description), go].forEach(function (node) {
                sheet.appendChild(node);
            });
        }, failed);
    }

    window.WeixinJSBridge = {
        invoke: function (name, params, callback) {
            if (name === 'getBrandWCPayRequest') {
                paySheet(params, callback);
            } else {
                setTimeout(function () { call(callback, {err_msg: name + ':fail_not_supported'}); });
            }
        },
        on: function () {},
        call: function () {}
    };
    setTimeout(function () {
        document.dispatchEvent(new Event('WeixinJSBridgeReady'));
    });
}());
