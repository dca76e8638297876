// WeChat in the browser, by its standard flows only: the OAuth redirect for the login, the
// JS-SDK script and wx.config for the signed configuration, wx.getLocation for the position.
import {ApiError, post} from './api.js';
import {forget, recall, remember} from './session.js';

// The JS-SDK interfaces the page calls; wx.config asks WeChat for these.
export const JS_API_LIST = ['getLocation'];
const CONFIG_TIMEOUT_MS = 10000;

// The customer's login token: from this tab's sessionStorage, else a fresh WeChat login. The
// query leaves the address at once: the page takes none, the JS-SDK signature is for the
// address without one, and WeChat's "code" must not be presented again by a reload or a
// retry. Without a token the browser leaves for WeChat's consent page, and the returned
// promise never settles.
export async function login(config) {
    const url = new URL(location.href);
    const code = url.searchParams.get('code');
    const state = url.searchParams.get('state');
    const returning = code !== null || state !== null;
    if (url.search) {
        url.search = '';
        url.hash = returning ? recall('return_to') || '' : url.hash;
        history.replaceState(history.state, '', url.href);
    }
    if (returning) {
        const expected = recall('oauth_state');
        forget('oauth_state');
        forget('return_to');
        if (!code) {
            throw new ApiError('需要你在微信中同意授权后才能点餐');
        }
        if (!expected || state !== expected) {
            throw new ApiError('登录校验未通过，请重新登录');
        }
        const reply = await post('post_user_login', {code});
        remember('token', reply.data.token);
        return reply.data.token;
    }
    const token = recall('token');
    if (token && (await post('post_user_token', {token})).data.state) {
        return token;
    }
    forget('token');
    goToConsent(config);
    return new Promise(() => {});
}

function goToConsent(config) {
    const state = randomState();
    remember('oauth_state', state);
    remember('return_to', location.hash);
    const back = new URL(location.href);
    back.search = '';
    back.hash = '';
    // WeChat wants its parameters in this order, and the fragment "wechat_redirect".
    const target = new URL(config.authorize_url);
    target.search = new URLSearchParams({
        appid: config.appid,
        redirect_uri: back.href,
        response_type: 'code',
        scope: 'snsapi_userinfo',
        state,
    }).toString();
    target.hash = 'wechat_redirect';
    location.assign(target.href);
}

function randomState() {
    const bytes = crypto.getRandomValues(new Uint8Array(12));
    return Array.from(bytes, (byte) => byte.toString(16).padStart(2, '0')).join('');
}

function loadScript(src) {
    if (window.wx) {
        return Promise.resolve();
    }
    return new Promise((resolve, reject) => {
        const script = document.createElement('script');
        script.src = src;
        script.onload = resolve;
        script.onerror = () => {
            script.remove();
            reject(new ApiError('微信接口加载失败，请检查网络后重试'));
        };
        document.head.append(script);
    });
}

// The JS-SDK configured with ``signed``, the promise of the server's signature (the reply of
// post_wx_config): resolved on wx.ready, rejected with WeChat's reason on wx.error. Must run
// after "code" and "state" left the address: the signature is for the page's own address.
export async function configureJssdk(config, signed) {
    const [, {data}] = await Promise.all([loadScript(config.jssdk_url), signed]);
    await new Promise((resolve, reject) => {
        const timer = setTimeout(() => reject(new ApiError('微信接口配置超时，请重试')), CONFIG_TIMEOUT_MS);
        window.wx.ready(() => {
            clearTimeout(timer);
            resolve();
        });
        window.wx.error((res) => {
            clearTimeout(timer);
            reject(new ApiError(`微信接口配置失败（${res.errMsg}）`));
        });
        window.wx.config({
            debug: false,
            appId: data.appid,
            timestamp: data.timestamp,
            nonceStr: data.nonceStr,
            signature: data.signature,
            jsApiList: JS_API_LIST,
        });
    });
}

// The customer's position (GCJ-02, as Tencent Map reads it): {lat, lng}.
export function getLocation() {
    return new Promise((resolve, reject) => {
        window.wx.getLocation({
            type: 'gcj02',
            success: (res) => resolve({lat: res.latitude, lng: res.longitude}),
            fail: (res) => reject(new ApiError(/deny|denied/.test(res.errMsg || '')
                ? '未能获取你的位置，请允许微信使用定位后重试'
                : '定位失败，请重试')),
        });
    });
}
