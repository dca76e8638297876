// The customer's orders, newest first, each leading to its detail.
import {post} from '../api.js';
import {money, toFen} from '../cart.js';
import {h} from '../dom.js';
import {recall} from '../session.js';
import {header, load, tabs} from '../ui.js';
import {ORDER_STATES} from './order.js';
import {picture} from './widgets.js';

export function ordersView(outlet) {
    const list = h('section', {class: 'orders'});
    outlet.append(header('我的订单'), list, tabs('/orders'));
    load(list, {
        title: '我的订单',
        loading: '正在加载订单…',
        task: async () => ((await post('post_sale_order_list', {token: recall('token')})).data || []).reverse(),
        isEmpty: (orders) => orders.length === 0,
        empty: '还没有订单',
        render: (orders) => h('ul', {class: 'order-list'}, orders.map(orderCard)),
    });
}

function orderCard(order) {
    const [label] = ORDER_STATES[order.state] || [order.state];
    const more = order.quantity > 1 ? ` 等${order.quantity}件` : '';
    return h('li', {}, h('a', {class: 'order-card', href: '#/order/' + encodeURIComponent(order.order_id)},
        h('div', {class: 'store-head'},
            h('strong', {class: 'store-name'}, order.store_name),
            h('span', {class: `badge state-${order.state}`}, label)),
        h('div', {class: 'order-card-body'},
            picture(order.image, order.product_name, 'item-image'),
            h('div', {class: 'item-body'},
                h('p', {class: 'order-dishes'}, order.product_name + more),
                h('p', {class: 'muted'}, order.create_date),
                h('p', {class: 'muted order-name'}, order.name)),
            h('strong', {class: 'order-amount'}, money(toFen(order.amount))))));
}
