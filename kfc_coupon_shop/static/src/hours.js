// The shop's clock: China Standard Time, whatever zone the phone is set to, and the fixed
// window in which the shop takes orders (the store routes apply the same one: outside it every
// store is shown closed).
const ZONE = 'Asia/Shanghai';
export const ORDER_HOURS = {from: '09:30', to: '23:59'};
export const ORDER_HOURS_TEXT = `${ORDER_HOURS.from}-${ORDER_HOURS.to}`;

// Made once, as the module loads: a formatter of a time zone takes long to make on a phone, too
// long for each view that reads the clock.
const DAY = new Intl.DateTimeFormat('en-CA', {timeZone: ZONE});
const TIME = new Intl.DateTimeFormat('en-GB', {timeZone: ZONE, hourCycle: 'h23', hour: '2-digit',
                                               minute: '2-digit', second: '2-digit'});

// "2026-12-09": the business day as the stores count it.
export function shopDate(now = new Date()) {
    return DAY.format(now);
}

// "13:05:42"
function shopTime(now) {
    return TIME.format(now);
}

// Whether orders are taken now: from the window's first minute to its last one, inclusive.
export function takingOrders(now = new Date()) {
    const time = shopTime(now);
    return ORDER_HOURS.from + ':00' <= time && time <= ORDER_HOURS.to + ':00';
}

export const CLOSED_NOTICE = `现在不在点餐时间，每日${ORDER_HOURS_TEXT}可下单`;
