// The order before it is placed: the cart's dishes, the coupons spent on them (applied by
// themselves, each may be taken off), how the meal is picked up, the phone, and what is left to
// pay; outside the shop's hours nothing can be placed. Placing it creates the order (one paid by
// coupons alone goes to the kitchen at once) and leads to the order, which opens the payment.
import {ApiError, logError, postJson} from '../api.js';
import {choicesOf, knownMenu, saleableDishes} from '../catalogue.js';
import {addUnits, applyCoupons, clearCart, loadCart, money, orderItems, reconcile, toggleCoupon,
        totals, usableCoupons} from '../cart.js';
import {heldCoupons} from '../coupons.js';
import {h, refill} from '../dom.js';
import {CLOSED_NOTICE, takingOrders} from '../hours.js';
import {payWhenShown} from '../payment.js';
import {searchCity} from '../place.js';
import {back, navigate, preload} from '../router.js';
import {recall, remember} from '../session.js';
import {header, load} from '../ui.js';
import {picture, stepper} from './widgets.js';

const PHONE = /^1\d{10}$/;
const PICK_TYPES = [['2', '堂食'], ['1', '外带']];      // "1" is take-away to the kitchen

export function checkoutView(outlet) {
    const store = recall('store');
    if (!store) {
        navigate('/stores', {replace: true});
        return;
    }
    preload('/order/placed');           // the order's view, where placing leads
    const cart = loadCart(store.storecode);
    const body = h('div', {class: 'checkout'});
    outlet.append(header('确认订单', () => back('/menu/' + encodeURIComponent(store.storecode))), body);
    load(body, {
        title: '确认订单',
        loading: '正在核对菜品和兑换券…',
        task: async () => {
            const [categories, coupons] = await Promise.all([knownMenu(store.storecode), heldCoupons()]);
            const choices = choicesOf(categories);
            const dropped = reconcile(cart, saleableDishes(categories), coupons, choices);
            applyCoupons(cart, coupons, choices);
            return {coupons, choices, dropped};
        },
        isEmpty: () => cart.items.length === 0,
        empty: '购物车是空的，去菜单挑选菜品吧',
        render: (found) => {
            const form = h('div', {class: 'checkout-form'});
            const draw = () => refill(form, checkoutForm(store, cart, found, draw));
            draw();
            return form;
        },
    });
}

function checkoutForm(store, cart, {coupons, choices, dropped}, draw) {
    const {total, covered, due} = totals(cart);
    const open = takingOrders();
    const message = h('p', {class: 'notice notice-error', role: 'alert', hidden: open}, open ? '' : CLOSED_NOTICE);
    const button = h('button', {type: 'button', class: 'submit', disabled: !open || cart.items.length === 0},
                     due > 0 ? `微信支付 ${money(due)}` : '兑换下单');
    button.addEventListener('click', () => submit(store, cart, button, message));
    return [
        h('section', {class: 'panel order-store'},
            h('strong', {}, store.storename), h('p', {class: 'muted'}, store.address)),
        dropped ? h('p', {class: 'notice'}, `有${dropped}款菜品已售罄，已从购物车移除`) : null,
        h('ul', {class: 'panel cart-items'}, cart.items.map((item) => cartItem(cart, item, coupons, choices, draw))),
        h('section', {class: 'panel'}, pickType(), phoneField()),
        h('dl', {class: 'panel summary'},
            h('dt', {}, '菜品合计'), h('dd', {}, money(total)),
            h('dt', {}, '兑换券抵扣'), h('dd', {class: 'covered'}, '−' + money(covered)),
            h('dt', {}, '还需支付'), h('dd', {class: 'due'}, money(due))),
        message,
        h('div', {class: 'submit-bar'},
            h('span', {}, '还需支付 ', h('strong', {}, money(due))), button),
    ];
}

function cartItem(cart, item, coupons, choices, draw) {
    const usable = usableCoupons(cart, item, coupons, choices);
    return h('li', {class: 'cart-item'},
        picture(item.image, item.name, 'item-image'),
        h('div', {class: 'item-body'},
            h('div', {class: 'item-head'},
                h('span', {class: 'item-name'}, item.name),
                h('span', {class: 'item-price'}, money(item.price))),
            stepper(item.name, () => item.num, (delta) => {
                addUnits(cart, item, delta);
                applyCoupons(cart, coupons, choices);
                draw();
            }),
            usable.length ? h('div', {class: 'item-coupons'}, usable.map((coupon) => {
                const spent = item.coupons.includes(coupon.coupon_id);
                return h('button', {
                    type: 'button', class: spent ? 'coupon-chip on' : 'coupon-chip',
                    'aria-pressed': String(spent),
                    disabled: !spent && item.coupons.length >= item.num,
                    onclick: () => {
                        toggleCoupon(cart, item, coupon.coupon_id);
                        draw();
                    },
                    title: spent ? '点击取消使用' : null,
                }, spent ? '已使用 ' : '使用 ', coupon.name, ' ', h('small', {}, coupon.code));
            })) : null));
}

function pickType() {
    const chosen = recall('pick_type') || PICK_TYPES[0][0];
    return h('fieldset', {class: 'pick-type'}, h('legend', {}, '取餐方式'),
        PICK_TYPES.map(([value, text]) => h('label', {class: 'pick-option'},
            h('input', {type: 'radio', name: 'pick-type', value, checked: value === chosen,
                        onchange: () => remember('pick_type', value)}),
            text)));
}

function phoneField() {
    const input = h('input', {type: 'tel', name: 'phone', inputmode: 'numeric', maxlength: 11,
                              autocomplete: 'tel', placeholder: '用于接收取餐通知',
                              value: recall('phone') || ''});
    input.addEventListener('input', () => remember('phone', input.value.trim()));
    return h('label', {class: 'phone'}, h('span', {}, '手机号'), input);
}

async function submit(store, cart, button, message) {
    const phone = recall('phone') || '';
    const say = (text) => {
        message.textContent = text;
        message.hidden = !text;
    };
    if (!takingOrders()) {
        say(CLOSED_NOTICE);
        return;
    }
    if (!PHONE.test(phone)) {
        say('请填写11位手机号，用于接收取餐通知');
        return;
    }
    const label = button.textContent;
    button.disabled = true;
    button.textContent = '正在提交…';
    say('');
    try {
        // the city is the order's record only: an order is not refused for want of it
        const city = await searchCity().catch(() => null);
        const {due} = totals(cart);
        const reply = await postJson(due > 0 ? 'create_sale_order' : 'post_coupon_sale_order', {
            token: recall('token'), phone, type: recall('pick_type') || PICK_TYPES[0][0], remark: '',
            store_name: store.storename, store_code: store.storecode, store_address: store.address,
            store_phone: store.phone || '', city_name: city ? city.cityNameZh : '',
            city_code: city ? city.gbCityCode : '', data: orderItems(cart),
        });
        clearCart();
        if (due > 0) {
            payWhenShown(reply.order_id);
        }
        navigate('/order/' + reply.order_id, {replace: true});
    } catch (error) {
        const known = error instanceof ApiError;
        logError('提交订单', known ? error.message : (error && error.stack) || error);
        say(known ? error.message : '提交订单失败，请重试');
        button.disabled = false;
        button.textContent = label;
    }
}
