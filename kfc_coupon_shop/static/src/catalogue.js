// A store's menu, fetched afresh for the menu view and kept for the page load, so that the
// checkout knows the dishes and the choices of multi-choice dishes without asking again.
import {post} from './api.js';
import {shopDate} from './hours.js';

const menus = new Map();

export function loadMenu(storecode) {
    const loading = post('post_menu_list', {date: shopDate(), storecode})
        .then((reply) => reply.data || []);
    menus.set(storecode, loading);
    loading.catch(() => menus.delete(storecode));      // a failed load is made afresh
    return loading;
}

export function knownMenu(storecode) {
    return menus.get(storecode) || loadMenu(storecode);
}

// Every dish a customer can put in the cart, by product id: the plain dishes and the choices
// of the multi-choice dishes (which are not sold by themselves).
export function saleableDishes(categories) {
    const dishes = new Map();
    for (const dish of categories.flatMap((category) => category.children)) {
        for (const sold of dish.is_multiple ? dish.grandchild || [] : [dish]) {
            dishes.set(sold.product_id, sold);
        }
    }
    return dishes;
}

// Multi-choice dish id -> the product ids of its choices.
export function choicesOf(categories) {
    const choices = new Map();
    for (const dish of categories.flatMap((category) => category.children)) {
        if (dish.is_multiple) {
            choices.set(dish.product_id, (dish.grandchild || []).map((child) => child.product_id));
        }
    }
    return choices;
}
