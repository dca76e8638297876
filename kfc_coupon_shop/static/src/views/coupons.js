// The customer's coupons: a code redeemed, and those held, each with the dish it pays for.
import {ApiError} from '../api.js';
import {heldCoupons, redeem} from '../coupons.js';
import {h} from '../dom.js';
import {back} from '../router.js';
import {header, load, tabs} from '../ui.js';
import {picture} from './widgets.js';

export function couponsView(outlet) {
    const list = h('section', {class: 'coupons'});
    const message = h('p', {class: 'notice', role: 'status', hidden: true});
    const input = h('input', {type: 'text', name: 'code', placeholder: '输入兑换码', autocomplete: 'off',
                              autocapitalize: 'characters', 'aria-label': '兑换码'});
    const button = h('button', {type: 'submit'}, '兑换');
    const say = (text, error) => {
        message.textContent = text;
        message.className = error ? 'notice notice-error' : 'notice';
        message.hidden = !text;
    };
    const show = () => load(list, {
        title: '我的兑换券',
        loading: '正在加载兑换券…',
        task: heldCoupons,
        isEmpty: (coupons) => coupons.length === 0,
        empty: '你还没有兑换券，输入兑换码兑换吧',
        render: (coupons) => [h('h2', {class: 'section-title'}, `可用兑换券（${coupons.length}）`),
                              h('ul', {class: 'coupon-list'}, coupons.map(couponCard))],
    });
    const form = h('form', {class: 'search redeem', onsubmit: async (event) => {
        event.preventDefault();
        const code = input.value.trim();
        if (!code) {
            say('请输入兑换码', true);
            return;
        }
        button.disabled = true;
        say('');
        try {
            const reply = await redeem(code);
            input.value = '';
            say(reply.message || '兑换成功');
            show();
        } catch (error) {
            say(error instanceof ApiError ? error.message : '兑换失败，请重试', true);
        } finally {
            button.disabled = false;
        }
    }}, input, button);
    outlet.append(header('我的兑换券', () => back('/stores')), form, message, list, tabs('/coupons'));
    show();
}

function couponCard(coupon) {
    return h('li', {class: 'coupon'},
        picture(coupon.image_url, coupon.product_name, 'item-image'),
        h('div', {class: 'item-body'},
            h('strong', {class: 'coupon-name'}, coupon.name),
            h('p', {class: 'muted'}, `可兑换：${coupon.product_name}`),
            h('p', {class: 'coupon-code muted'}, `券码 ${coupon.code}`),
            coupon.start_date ? h('p', {class: 'muted'}, `生效日期 ${coupon.start_date}`) : null));
}
