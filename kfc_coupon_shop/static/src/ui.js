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

export function header(title, back) {
    return h('header', {class: 'bar'},
        back ? h('button', {type: 'button', class: 'back', 'aria-label': '返回', onclick: back}, '‹') : null,
        h('h1', {}, title));
}
