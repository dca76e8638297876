// The customer's coupons: redeeming a code, and those redeemed and not yet spent.
import {post} from './api.js';
import {recall} from './session.js';

export async function heldCoupons() {
    const reply = await post('post_search_user_coupon', {token: recall('token')});
    return reply.data || [];
}

export function redeem(code) {
    return post('post_exchange_coupon', {token: recall('token'), code});
}
