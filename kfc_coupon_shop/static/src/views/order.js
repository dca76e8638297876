// One order: while unpaid, its payment (and again after a cancelled or failed one); once paid,
// the progress of each dish, polled until the order is settled, with the pick-up codes, the
// dishes that failed and what was done about them (the server's remark: refunded, coupon given
// back). The page refunds nothing itself: failed dishes are refunded by the server.
import {ApiError, logError, postAnswer} from '../api.js';
import {money, toFen} from '../cart.js';
import {h, refill} from '../dom.js';
import {confirmPaid, isPaid, pay, sendToKitchen, takePayWhenShown} from '../payment.js';
import {repeat} from '../poll.js';
import {failedLines, failureOutcome, refundedFen} from '../refunds.js';
import {back} from '../router.js';
import {recall} from '../session.js';
import {header, load, tabs} from '../ui.js';
import {picture} from './widgets.js';

// What the customer reads of an order's state, and what she is told besides.
const ORDER_STATES = {
    draft: ['待支付', '请在下单后5分钟内完成支付，逾期订单将自动取消'],
    paid: ['出餐中', '餐厅正在准备你的餐品，出餐后这里会显示取餐码'],
    pick: ['可取餐', '部分餐品已出餐，请凭取餐码取餐，其余餐品仍在准备中'],
    done: ['已完成', '请凭取餐码到门店取餐'],
    fail: ['出餐失败', '餐厅未能出餐，处理结果见下方说明'],
    cancel: ['已取消', '订单已取消'],
};
// The state shown of an order some of whose dishes the kitchen refused while it handed out
// others.
const PARTLY_FAILED = ['部分出餐失败', '未能出餐的餐品见下方说明，其余请凭取餐码取餐'];

// [label, hint] of an order with its lines.
export function orderState(state, lines) {
    const partly = (state === 'done' || state === 'pick') && failedLines(lines).length > 0;
    return partly ? PARTLY_FAILED : ORDER_STATES[state] || [state, ''];
}

// Orders whose dishes are still with the kitchen: polled.
const COOKING = new Set(['paid', 'pick']);

export function orderView(outlet, {id}) {
    const body = h('div', {class: 'order'});
    outlet.append(header('订单详情', () => back('/orders')), body, tabs('/orders'));
    const view = {id, order: null, lines: [], notice: null, paying: false, stop: null, left: false};
    const draw = () => refill(body, renderOrder(view, actions));
    const reload = () => load(body, {
        title: '订单详情',
        loading: '正在加载订单…',
        task: () => loadOrder(id),
        render: ({order, lines}) => {
            Object.assign(view, {order, lines});
            follow(view, draw);
            if (order.state === 'draft' && takePayWhenShown(id)) {
                queueMicrotask(actions.pay);     // once the view below is in place
            }
            return renderOrder(view, actions);
        },
    });
    const actions = {pay: () => startPayment(view, draw, reload), reload};
    reload();
    return () => {
        view.left = true;
        if (view.stop) {
            view.stop();
        }
    };
}

async function loadOrder(id) {
    let order = await orderHeader(id);
    // paid, but the page that paid was closed before the order went to the kitchen
    if (order.state === 'draft' && await isPaid(id)) {
        await sendToKitchen(id);
        order = await orderHeader(id);
    }
    if (order.state === 'draft' || order.state === 'cancel') {
        return {order, lines: order.detail};
    }
    const result = await progress(id);
    return {order: {...order, state: result.state}, lines: result.data};
}

// The order with its lines ("订单未支付" comes with them too).
async function orderHeader(id) {
    const reply = await postAnswer('post_sale_order_list_line', {order_id: id, token: recall('token')});
    if (!reply.data || !Array.isArray(reply.data.detail)) {
        throw new ApiError(reply.message || '订单不存在');
    }
    return reply.data;
}

// The kitchen's progress: each line with its state, pick-up code and remark.
async function progress(id) {
    const reply = await postAnswer('post_pay_result', {order_id: id, token: recall('token')});
    const result = reply.data;
    if (!result || result.code !== 200 || !Array.isArray(result.data) || !result.state) {
        throw new ApiError('订单不存在');
    }
    return result;
}

// Polls the progress while the kitchen has dishes of the order.
function follow(view, draw) {
    if (view.left || view.stop || !COOKING.has(view.order.state)) {
        return;
    }
    view.stop = repeat(async () => {
        try {
            const result = await progress(view.id);
            view.order = {...view.order, state: result.state};
            view.lines = result.data;
            view.notice = null;
        } catch (error) {
            view.notice = {text: error instanceof ApiError ? error.message : '查询出餐进度失败，稍后自动重试',
                           error: true};
        }
        if (!view.left) {
            draw();
        }
        return !COOKING.has(view.order.state);
    });
}

async function startPayment(view, draw, reload) {
    if (view.paying) {
        return;
    }
    view.paying = true;
    view.notice = null;
    draw();
    try {
        if (await pay(view.order) === 'cancelled') {
            view.notice = {text: '你已取消支付，订单仍待支付'};
        } else {
            view.notice = {text: '正在确认支付结果…'};
            draw();
            if (await confirmPaid(view.id)) {
                Object.assign(view, {paying: false, notice: null});
                reload();
                return;
            }
            view.notice = {text: '暂未收到支付结果，请稍后刷新查看', refresh: true};
        }
    } catch (error) {
        const known = error instanceof ApiError;
        logError('微信支付', known ? error.message : (error && error.stack) || error);
        view.notice = {text: known ? error.message : '支付出错了，请重试', error: true};
    }
    view.paying = false;
    if (!view.left) {
        draw();
    }
}

function renderOrder(view, actions) {
    const {order, lines} = view;
    const [label, hint] = orderState(order.state, lines);
    const codes = lines.filter((line) => line.pick_code).map((line) => line.pick_code);
    const failed = failedLines(lines);
    const refunded = refundedFen(lines);
    return [
        h('section', {class: `panel order-status state-${order.state}${failed.length ? ' partly' : ''}`},
            h('h2', {class: 'order-state'}, label),
            h('p', {class: 'muted'}, order.state === 'cancel' && order.remark ? order.remark : hint),
            failed.length ? h('ul', {class: 'order-failed'}, failed.map((line) => h('li', {},
                `${line.product_name}：${failureOutcome(line)}`))) : null,
            order.state === 'draft' ? payment(view, actions) : null,
            view.notice && order.state !== 'draft' ? notice(view.notice, actions) : null),
        codes.length ? h('section', {class: 'panel pick-codes'},
            h('h3', {}, '取餐码'),
            h('ul', {}, codes.map((code) => h('li', {class: 'pick-code'}, code)))) : null,
        h('ul', {class: 'panel order-lines'}, lines.map(orderLine)),
        h('dl', {class: 'panel order-info'},
            h('dt', {}, '订单号'), h('dd', {class: 'order-name'}, order.name),
            h('dt', {}, '门店'), h('dd', {}, order.store_name),
            h('dt', {}, '取餐方式'), h('dd', {}, order.type === '1' ? '外带' : '堂食'),
            h('dt', {}, '下单时间'), h('dd', {}, order.create_date),
            h('dt', {}, order.state === 'draft' ? '应付金额' : '支付金额'),
            h('dd', {class: 'order-amount'}, money(toFen(order.amount))),
            refunded ? [h('dt', {}, '已退款'), h('dd', {class: 'order-refunded'}, '−' + money(refunded)),
                        h('dt', {}, '实付金额'),
                        h('dd', {class: 'order-net'}, money(toFen(order.amount) - refunded))] : null),
    ];
}

function payment(view, actions) {
    return h('div', {class: 'pay'},
        h('p', {class: 'pay-due'}, '待支付 ', h('strong', {}, money(toFen(view.order.amount)))),
        view.notice ? notice(view.notice, actions) : null,
        h('button', {type: 'button', class: 'submit pay-again', disabled: view.paying,
                     onclick: actions.pay}, view.paying ? '支付中…' : '继续支付'));
}

function notice({text, error, refresh}, actions) {
    return h('p', {class: error ? 'notice notice-error' : 'notice', role: error ? 'alert' : 'status'},
        text, refresh ? h('button', {type: 'button', class: 'link', onclick: actions.reload}, '刷新') : null);
}

function orderLine(line) {
    const byCoupon = Array.isArray(line.coupon_id) && line.coupon_id.length > 0;
    const failed = line.detail_state === 'fail';
    return h('li', {class: failed ? 'order-line failed' : 'order-line'},
        picture(line.image, line.product_name, 'item-image'),
        h('div', {class: 'item-body'},
            h('div', {class: 'item-head'},
                h('span', {class: 'item-name'}, line.product_name),
                byCoupon ? h('span', {class: 'coupon-mark'}, '兑换券')
                         : h('span', {class: 'item-price'}, money(toFen(line.unit_price)))),
            line.pick_code ? h('p', {class: 'line-code'}, '取餐码 ', h('strong', {}, line.pick_code)) : null,
            line.show_remark ? h('p', {class: 'line-remark'}, String(line.show_remark)) : null));
}
