// Loading, empty and error states of a call, in one place: a view hands a container and what
// to load; the container shows the loading state, then the result, an empty state, or the
// error's message with a retry button. It never stays blank.
import {ApiError, logError} from './api.js';
import {append, h} from './dom.js';

export function load(container, {task, render, isEmpty, title, loading = '加载中…', empty = '暂无内容'}) {
    const run = async () => {
        const status = h('span', {}, loading);
        container.replaceChildren(
            h('div', {class: 'state state-loading', role: 'status'}, h('i', {class: 'spinner'}), status));
        let data;
        try {
            data = await task((text) => { status.textContent = text; });
        } catch (error) {
            const known = error instanceof ApiError;
            logError(title, known ? error.message : (error && error.stack) || error);
            container.replaceChildren(h('div', {class: 'state state-error', role: 'alert'},
                h('p', {}, known ? error.message : '页面出错了，请重试'),
                h('button', {type: 'button', class: 'retry', onclick: run}, '重试')));
            return;
        }
        if (isEmpty && isEmpty(data)) {
            container.replaceChildren(h('div', {class: 'state state-empty'}, empty));
            return;
        }
        container.replaceChildren();
        append(container, render(data));
    };
    return run();
}

// The view's title bar: a back button when ``back`` is given, a link on the right when
// ``link`` ({href, text}) is.
export function header(title, back, link) {
    return h('header', {class: 'bar'},
        back ? h('button', {type: 'button', class: 'back', 'aria-label': '返回', onclick: back}, '‹') : null,
        h('h1', {}, title),
        link ? h('a', {class: 'bar-link', href: link.href}, link.text) : null);
}

const TABS = [['/stores', '点餐'], ['/coupons', '兑换券'], ['/orders', '订单']];

// The tab bar of the three top views, fixed at the bottom; its box keeps the view's end clear.
export function tabs(current) {
    return h('div', {class: 'tabs-space'}, h('nav', {class: 'tabs', 'aria-label': '主菜单'},
        TABS.map(([path, text]) => h('a', {
            class: path === current ? 'tab current' : 'tab', href: '#' + path,
            'aria-current': path === current ? 'page' : null,
        }, text))));
}
