// WeChat Pay on the page: the pay parameters the server signs, WeChat's payment sheet
// (WeixinJSBridge getBrandWCPayRequest), then the server's own word that the money arrived.
import {ApiError, postAnswer, postJson} from './api.js';
import {recall} from './session.js';

const BRIDGE_TIMEOUT_MS = 5000;
const CONFIRM_TRIES = 10;
const CONFIRM_PAUSE_MS = 1500;
const PAY_OK = 'get_brand_wcpay_request:ok';
const PAY_CANCEL = 'get_brand_wcpay_request:cancel';

// The order the checkout just created: its view opens the payment at once.
let payNext = null;

export function payWhenShown(orderId) {
    payNext = String(orderId);
}

export function takePayWhenShown(orderId) {
    const due = payNext === String(orderId);
    payNext = null;
    return due;
}

// WeChat's browser provides WeixinJSBridge, sometimes only after the page's scripts ran.
function bridge() {
    if (window.WeixinJSBridge) {
        return Promise.resolve(window.WeixinJSBridge);
    }
    return new Promise((resolve, reject) => {
        const timer = setTimeout(() => reject(new ApiError('请在微信中打开本页面完成支付')),
                                 BRIDGE_TIMEOUT_MS);
        document.addEventListener('WeixinJSBridgeReady', () => {
            clearTimeout(timer);
            resolve(window.WeixinJSBridge);
        }, {once: true});
    });
}

// "paid" when the payer paid in WeChat's sheet, "cancelled" when she closed it; any other
// outcome throws an ApiError saying why.
export async function pay(order) {
    const reply = await postJson('wechat_jsapi_payment', {
        token: recall('token'), order_id: order.order_id, description: `${order.store_name}点餐`,
    });
    const params = reply.data;
    if (!params || !params.paySign) {       // "未创建订单": paid, cancelled or out of time
        throw new ApiError('订单已失效，无法支付，请重新下单');
    }
    const {appId, timeStamp, nonceStr, signType, paySign} = params;
    const jsBridge = await bridge();
    const res = await new Promise((resolve) => jsBridge.invoke('getBrandWCPayRequest', {
        appId, timeStamp, nonceStr, package: params.package, signType, paySign,
    }, resolve));
    const outcome = String((res && res.err_msg) || '');
    if (outcome === PAY_OK) {
        return 'paid';
    }
    if (outcome === PAY_CANCEL) {
        return 'cancelled';
    }
    throw new ApiError(res && res.err_desc ? `支付未完成：${res.err_desc}` : '支付未完成，请重试');
}

export async function isPaid(orderId) {
    const reply = await postAnswer('post_order_is_paid', {order_id: orderId, token: recall('token')});
    return reply.code === 200;
}

// A paid order goes to the kitchen (once: the server does nothing for an order not in draft).
export function sendToKitchen(orderId) {
    return postAnswer('post_change_sale_order_state', {order_id: orderId, token: recall('token')});
}

// WeChat's "ok" is no proof: the order counts as paid once WeChat Pay's notification has
// reached the server. Then it goes to the kitchen. False when no word came meanwhile.
export async function confirmPaid(orderId) {
    for (let attempt = 0; attempt < CONFIRM_TRIES; attempt += 1) {
        if (await isPaid(orderId)) {
            await sendToKitchen(orderId);
            return true;
        }
        await new Promise((resolve) => setTimeout(resolve, CONFIRM_PAUSE_MS));
    }
    return false;
}
