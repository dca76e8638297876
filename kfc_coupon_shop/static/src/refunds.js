// What became of an order's dishes the kitchen refused, read from the server's remark beside
// each line ("出餐失败，已退款（门店繁忙）"): which failed, what was done about each, and how
// much of the money came back.
import {toFen} from './cart.js';

const FAILED = '出餐失败';
const REFUNDED = '出餐失败，已退款';

function remark(line) {
    return String(line.show_remark || '');
}

export function failedLines(lines) {
    return lines.filter((line) => line.detail_state === 'fail' || remark(line).startsWith(FAILED));
}

// "已退款", "退款处理中", "兑换券已退回" ...: the server's words after "出餐失败，", or "出餐失败".
export function failureOutcome(line) {
    const found = /^出餐失败，([^（]+)/.exec(remark(line));
    return found ? found[1] : FAILED;
}

// The prices, in fen, of the failed dishes whose refund went through.
export function refundedFen(lines) {
    return failedLines(lines).filter((line) => remark(line).startsWith(REFUNDED))
        .reduce((sum, line) => sum + toFen(line.total_price), 0);
}
