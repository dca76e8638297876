/* The sandbox's stand-in of WeChat's JS-SDK (jweixin-1.6.0.js): `wx.config`, `wx.ready`,
 * `wx.error` and `wx.getLocation`, with WeChat's calling conventions (success, fail, complete;
 * res.errMsg "<api>:ok" or "<api>:<reason>").
 *
 * wx.config is verified by the sandbox as WeChat verifies it: the signature over the ticket in
 * force, the nonce, the timestamp and this page's address without its fragment. A failed
 * config calls the wx.error handlers and shows a red bar over the page, so that it is never
 * missed. APIs answer "permission denied" unless the config succeeded and listed them.
 *
 * Further APIs are added to `apis` below, each a function(options, settle).
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
}());
