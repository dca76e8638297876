// The customer's orders, newest first, each leading to its detail. Each card is drawn from the
// list at once, then completed from the order's own lines, one order after the other: its first
// dish, the dishes the kitchen refused and what the customer paid net of refunds.
import {post, postAnswer} from '../api.js';
import {money, toFen} from '../cart.js';
import {h, refill} from '../dom.js';
import {failedLines, failureOutcome, refundedFen} from '../refunds.js';
import {recall} from '../session.js';
import {header, load, tabs} from '../ui.js';
import {orderState} from './order.js';
import {picture} from './widgets.js';

// The newest orders completed from their lines; older ones keep what the list says.
const DETAILED = 20;

export function ordersView(outlet) {
    const list = h('section', {class: 'orders'});
    const view = {left: false};
    outlet.append(header('我的订单'), list, tabs('/orders'));
    load(list, {
        title: '我的订单',
        loading: '正在加载订单…',
        task: async () => ((await post('post_sale_order_list', {token: recall('token')})).data || []).reverse(),
        isEmpty: (orders) => orders.length === 0,
        empty: '还没有订单',
        render: (orders) => {
            const cards = orders.map((order) => ({order, card: h('a', {
                class: 'order-card', href: '#/order/' + encodeURIComponent(order.order_id)})}));
            cards.forEach(({order, card}) => refill(card, cardBody(order, null)));
            complete(cards.slice(0, DETAILED), view);
            return h('ul', {class: 'order-list'}, cards.map(({card}) => h('li', {}, card)));
        },
    });
    return () => { view.left = true; };
}

async function complete(cards, view) {
    for (const {order, card} of cards) {
        if (view.left) {
            return;
        }
        const reply = await postAnswer('post_sale_order_list_line', {order_id: order.order_id,
                                                                     token: recall('token')})
            .catch(() => null);
        const lines = reply && reply.data && reply.data.detail;
        if (Array.isArray(lines) && lines.length) {
            refill(card, cardBody(order, lines));
        }
    }
}

// The card of the list's ``order``; with its ``lines`` (null until they are read: the list
// names only the last dish) it leads with the first dish and tells the refused ones and the net
// amount.
function cardBody(order, lines) {
    const several = order.quantity > 1;
    const first = lines ? lines[0] : {product_name: order.product_name, image: order.image};
    const [label] = orderState(order.state, lines || []);
    const dishes = lines || !several ? first.product_name + (several ? ` 等${order.quantity}件` : '')
        : `${order.quantity}件餐品`;
    const failed = lines ? failedLines(lines) : [];
    const amount = toFen(order.amount) - (lines ? refundedFen(lines) : 0);
    return [
        h('div', {class: 'store-head'},
            h('strong', {class: 'store-name'}, order.store_name),
            h('span', {class: `badge state-${order.state}`}, label)),
        h('div', {class: 'order-card-body'},
            picture(lines || !several ? first.image : null, first.product_name, 'item-image'),
            h('div', {class: 'item-body'},
                h('p', {class: 'order-dishes'}, dishes),
                failed.length ? h('p', {class: 'order-failed'}, failed.map((line) =>
                    `${line.product_name}：${failureOutcome(line)}`).join('；')) : null,
                h('p', {class: 'muted'}, order.create_date),
                h('p', {class: 'muted order-name'}, order.name)),
            h('strong', {class: 'order-amount'}, money(amount))),
    ];
}
