// A store's menu by category: images, names, prices, the choices of multi-choice dishes, each
// with its stepper into the cart; a mark on the dishes a coupon of the customer pays for; the
// cart's bar at the bottom, which leads to the checkout during the shop's hours. A menu opened
// by its address or from the history, not from the store list, is shown to read only.
import {choicesOf, loadMenu} from '../catalogue.js';
import {addUnits, loadCart, money, pays, totals, units} from '../cart.js';
import {heldCoupons} from '../coupons.js';
import {append, h, refill} from '../dom.js';
import {CLOSED_NOTICE, ORDER_HOURS_TEXT, takingOrders} from '../hours.js';
import {back, navigate, preload} from '../router.js';
import {recall} from '../session.js';
import {header, load} from '../ui.js';
import {picture, stepper} from './widgets.js';

export function menuView(outlet, {code}) {
    const store = recall('store');
    const known = store && store.storecode === code ? store : null;
    const cart = loadCart(code);
    const body = h('div', {class: 'menu'});
    const bar = h('div', {class: 'cart-bar'});
    const open = takingOrders();
    const drawBar = () => {
        const {count, total} = totals(cart);
        if (count && open) {
            preload('/checkout');           // where the bar leads
        }
        refill(bar, [
            h('span', {class: 'cart-count'}, count ? `已选${count}件` : '购物车是空的'),
            h('strong', {class: 'cart-total'}, money(total)),
            count && open ? h('a', {class: 'checkout-link', href: '#/checkout'}, '去结算')
                          : h('span', {class: 'checkout-link disabled'}, open ? '去结算' : '暂停点餐')]);
    };
    drawBar();
    append(outlet, [header(known ? known.storename : '门店菜单', () => back('/stores'),
                           {href: '#/coupons', text: '兑换券'}),
                    known ? h('p', {class: 'menu-store'}, known.address, h('br'),
                              `点餐时间 ${ORDER_HOURS_TEXT}`) : null,
                    known ? (open ? null : h('p', {class: 'notice closed-notice', role: 'status'}, CLOSED_NOTICE))
                          : readOnlyNotice(),
                    body, known ? bar : null]);
    load(body, {
        title: '菜单',
        loading: '正在加载菜单…',
        // the coupons only mark dishes: the menu is shown without them when they fail to load
        task: () => Promise.all([loadMenu(code), heldCoupons().catch(() => [])]),
        isEmpty: ([categories]) => categories.length === 0,
        empty: '该门店暂无可售的菜品',
        render: ([categories, coupons]) => {
            const choices = choicesOf(categories);
            return renderMenu(categories, {
                // only the store picked on the store list takes orders: its details go with them
                cart: known ? cart : null,
                changed: drawBar,
                covered: (dish) => coupons.some((coupon) => pays(coupon, dish.product_id, choices)),
            });
        },
    });
}

// Orders carry the store's details, which only the store list gives: the way there.
function readOnlyNotice() {
    return h('p', {class: 'notice read-only', role: 'status'}, '仅供浏览：请从门店列表选择本店后点餐',
        h('button', {type: 'button', class: 'link', onclick: () => navigate('/stores')}, '去选择门店'));
}

function renderMenu(categories, context) {
    const sections = categories.map((category, index) => h('section', {class: 'category', id: `category-${index}`},
        h('h2', {class: 'category-name'}, category.name),
        category.children.map((dish) => dishCard(dish, context))));
    const tabs = categories.map((category, index) => h('button', {
        type: 'button', class: 'category-tab',
        onclick: () => sections[index].scrollIntoView({behavior: 'smooth', block: 'start'}),
    }, picture(category.icon, '', 'tab-icon'), h('span', {}, category.name)));
    return [h('nav', {class: 'categories', 'aria-label': '菜品分类'}, tabs),
            h('div', {class: 'dishes'}, sections)];
}

function dishCard(dish, context) {
    return h('article', {class: 'dish'},
        picture(dish.image, dish.name, 'dish-image'),
        h('div', {class: 'dish-body'},
            h('h3', {class: 'dish-name'}, dish.name),
            dish.remark ? h('p', {class: 'dish-remark'}, dish.remark) : null,
            dish.is_multiple ? choices(dish.grandchild || [], context) : null,
            h('div', {class: 'dish-foot'},
                h('p', {class: 'price'}, price(dish.unit_price)),
                dish.is_multiple ? null : couponMark(dish, context),
                dish.is_multiple ? null : picker(dish, context))));
}

function choices(children, context) {
    return h('div', {class: 'choices'},
        h('p', {class: 'choices-title'}, `${children.length}选1`),
        h('ul', {}, children.map((child) => h('li', {class: 'choice'},
            picture(child.image, '', 'choice-image'),
            h('span', {class: 'choice-name'}, child.name),
            couponMark(child, context),
            h('span', {class: 'choice-price'}, price(child.unit_price)),
            picker(child, context)))));
}

function couponMark(dish, context) {
    return context.covered(dish) ? h('span', {class: 'coupon-mark', title: '你有可用于此菜品的兑换券'}, '有券') : null;
}

function picker(dish, context) {
    const cart = context.cart;
    if (!cart) {
        return null;
    }
    return stepper(dish.name, () => units(cart, dish.product_id), (delta) => {
        addUnits(cart, dish, delta);
        context.changed();
    });
}

function price(value) {
    return '¥' + Number(value || 0).toFixed(2);
}
