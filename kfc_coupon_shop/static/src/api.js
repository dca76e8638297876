// The API client: every call of the page goes through here. A failure of any kind (no network,
// an HTTP error, a reply that is not JSON, a reply whose "code" is not 200) becomes an ApiError
// whose message can be shown to the customer as it is.

export class ApiError extends Error {}

export function post(route, form = {}) {
    return send('/api/' + route, {method: 'POST', body: new URLSearchParams(form)});
}

// The reply whatever its "code": for the routes that answer a state rather than a failure with
// it ("订单未支付" with the order, "fail" while a payment is not yet known).
export function postAnswer(route, form = {}) {
    return send('/api/' + route, {method: 'POST', body: new URLSearchParams(form)}, false);
}

export function postJson(route, body) {
    return send('/api/' + route, {
        method: 'POST',
        headers: {'Content-Type': 'application/json'},
        body: JSON.stringify(body),
    });
}

export async function getJson(path) {
    return send(path, {method: 'GET'}, false);
}

async function send(url, init, enveloped = true) {
    let reply;
    try {
        reply = await fetch(url, {credentials: 'same-origin', ...init});
    } catch (error) {
        throw new ApiError('网络连接失败，请检查网络后重试');
    }
    if (reply.status === 429) {
        // Too many requests from this address: the server says so, and how long to wait.
        throw new ApiError(await refusalMessage(reply) || '请求过于频繁，请稍后再试');
    }
    if (!reply.ok) {
        throw new ApiError(`服务暂时不可用（${reply.status}），请稍后重试`);
    }
    let body;
    try {
        body = await reply.json();
    } catch (error) {
        throw new ApiError('服务返回了无法识别的内容，请稍后重试');
    }
    if (enveloped && body.code !== 200) {
        const message = typeof body.message === 'string' && body.message ? body.message : '';
        throw new ApiError(message || '请求失败，请稍后重试');
    }
    return body;
}

async function refusalMessage(reply) {
    try {
        const body = await reply.json();
        return typeof body.message === 'string' ? body.message : '';
    } catch (error) {
        return '';
    }
}

// The page's error log on the server; a log that cannot be written is let go.
export function logError(title, log) {
    postJson('post_front_error_log', {title, log: String(log).slice(0, 2000)}).catch(() => {});
}
