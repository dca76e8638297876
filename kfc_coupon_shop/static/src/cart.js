// The customer's basket at one store, kept in this tab: units of dishes by product id, the
// coupons spent on them, and the coupons the customer took off (not spent again by themselves).
// A coupon pays for one unit of its own dish or, when its dish is a multi-choice dish, of the
// one of that dish's choices the customer picked; the order posts the dish picked. Money is
// counted in fen, so that sums are exact.
import {forget, recall, remember} from './session.js';

export function toFen(yuan) {
    return Math.round(Number(yuan || 0) * 100);
}

export function money(fen) {
    return '¥' + (fen / 100).toFixed(2);
}

// The basket of the store; one of another store is let go (its dishes are not sold here).
export function loadCart(storecode) {
    const cart = recall('cart');
    if (!cart || cart.storecode !== storecode || !Array.isArray(cart.items)) {
        return {storecode, items: [], declined: []};
    }
    cart.declined = Array.isArray(cart.declined) ? cart.declined : [];
    return cart;
}

export function clearCart() {
    forget('cart');
}

function save(cart) {
    remember('cart', cart);
}

export function units(cart, productId) {
    const item = cart.items.find((entry) => entry.product_id === productId);
    return item ? item.num : 0;
}

// Adds (or, with a negative delta, takes away) units of a dish as the menu lists it.
export function addUnits(cart, dish, delta) {
    let item = cart.items.find((entry) => entry.product_id === dish.product_id);
    if (!item) {
        if (delta <= 0) {
            return;
        }
        item = {product_id: dish.product_id, name: dish.name, price: toFen(dish.unit_price),
                image: dish.image, num: 0, coupons: []};
        cart.items.push(item);
    }
    item.num = Math.max(0, item.num + delta);
    item.coupons = item.coupons.slice(0, item.num);
    cart.items = cart.items.filter((entry) => entry.num > 0);
    save(cart);
}

export function totals(cart) {
    let count = 0;
    let total = 0;
    let covered = 0;
    for (const item of cart.items) {
        count += item.num;
        total += item.price * item.num;
        covered += item.price * item.coupons.length;
    }
    return {count, total, covered, due: total - covered};
}

// Whether the coupon pays for the dish ``productId``; choices: multi-choice dish id -> the ids
// of its choices.
export function pays(coupon, productId, choices) {
    return coupon.product_id === productId
        || (choices.get(coupon.product_id) || []).includes(productId);
}

// The coupons that may be spent on the item: those paying for its dish, not spent on another.
export function usableCoupons(cart, item, coupons, choices) {
    const elsewhere = new Set(cart.items.filter((other) => other !== item)
        .flatMap((other) => other.coupons));
    return coupons.filter((coupon) => !elsewhere.has(coupon.coupon_id)
        && pays(coupon, item.product_id, choices));
}

// The customer takes a coupon off a dish (it stays off) or puts it back on.
export function toggleCoupon(cart, item, couponId) {
    if (item.coupons.includes(couponId)) {
        item.coupons = item.coupons.filter((id) => id !== couponId);
        cart.declined.push(couponId);
    } else if (item.coupons.length < item.num) {
        item.coupons.push(couponId);
        cart.declined = cart.declined.filter((id) => id !== couponId);
    }
    save(cart);
}

// Every unit without a coupon takes one of the customer's coupons for its dish: first those of
// the dish itself, then those of a multi-choice dish it is a choice of, the earliest coupon
// first; coupons spent already or taken off by the customer are left alone.
export function applyCoupons(cart, coupons, choices) {
    const spent = new Set([...cart.declined, ...cart.items.flatMap((item) => item.coupons)]);
    const earliest = coupons.slice().sort((a, b) => String(a.start_date || '').localeCompare(
        String(b.start_date || '')) || a.coupon_id - b.coupon_id);
    const ownDish = (coupon, item) => coupon.product_id === item.product_id;
    const choiceOf = (coupon, item) => pays(coupon, item.product_id, choices);
    for (const fits of [ownDish, choiceOf]) {
        for (const item of cart.items) {
            for (const coupon of earliest) {
                if (item.coupons.length < item.num && !spent.has(coupon.coupon_id) && fits(coupon, item)) {
                    item.coupons.push(coupon.coupon_id);
                    spent.add(coupon.coupon_id);
                }
            }
        }
    }
    save(cart);
}

// The basket brought in line with the store's menu and the coupons held now: dishes no longer
// on sale leave (their count is returned), prices are the menu's, and a coupon stays only when
// it is still held, pays for its dish, is spent once and on no more units than there are.
export function reconcile(cart, dishes, coupons, choices) {
    const held = new Map(coupons.map((coupon) => [coupon.coupon_id, coupon]));
    const before = cart.items.length;
    cart.items = cart.items.filter((item) => dishes.has(item.product_id));
    const spent = new Set();
    for (const item of cart.items) {
        item.price = toFen(dishes.get(item.product_id).unit_price);
        item.coupons = item.coupons.filter((id) => held.has(id) && !spent.has(id)
            && pays(held.get(id), item.product_id, choices)).slice(0, item.num);
        item.coupons.forEach((id) => spent.add(id));
    }
    cart.declined = cart.declined.filter((id) => held.has(id));
    save(cart);
    return before - cart.items.length;
}

// The order's "data": per dish its units, the coupons spent on them and the price shown.
export function orderItems(cart) {
    return cart.items.map((item) => ({product_id: item.product_id, num: item.num,
                                      coupon_id: item.coupons.slice(), unit_price: item.price / 100}));
}
