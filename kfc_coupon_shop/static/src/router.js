// One view per step, addressed by the fragment (#/stores, #/menu/SH3001): the browser's back
// button steps back through the views, and the page's address without its fragment, which the
// JS-SDK configuration is signed for, never changes. A view may return a function, called when
// it is left (to stop what it keeps running). The views of the later steps come in modules
// loaded when first shown (or asked for ahead with preload), which keeps them off the start.
import {load} from './ui.js';

const routes = [];
let outlet = null;
let fallback = '/';
let previous = null;
let current = null;
let leave = null;
let visits = 0;

// pattern: "/menu/:code"; view(outlet, params) fills the outlet (and may return its leave()),
// or is lazy(...).
export function route(pattern, view) {
    routes.push({parts: pattern.split('/'), view});
}

// A view that module.name is, the module imported by importer() when first needed.
export function lazy(importer, name) {
    let loading = null;
    return {
        load: () => {
            loading = loading || importer().then((module) => module[name]);
            loading.catch(() => { loading = null; });      // a failed import is made afresh
            return loading;
        },
    };
}

// The module of the view at ``path`` loaded ahead of showing it, where it is lazy.
export function preload(path) {
    const found = match(path);
    if (found && found.view.load) {
        found.view.load().catch(() => {});      // showing it tries again
    }
}

export function navigate(path, {replace = false} = {}) {
    if (replace) {
        location.replace('#' + path);
    } else {
        location.hash = path;
    }
}

// Back to the view before, or to ``path`` when the page was opened on this one.
export function back(path) {
    if (previous !== null) {
        history.back();
    } else {
        navigate(path, {replace: true});
    }
}

export function start(element, home) {
    outlet = element;
    fallback = home;
    window.addEventListener('hashchange', show);
    show();
}

function match(path) {
    const parts = path.split('/');
    for (const {parts: pattern, view} of routes) {
        if (pattern.length !== parts.length) {
            continue;
        }
        const params = {};
        if (pattern.every((part, i) => part.startsWith(':')
                ? (params[part.slice(1)] = decodeURIComponent(parts[i])) !== ''
                : part === parts[i])) {
            return {view, params};
        }
    }
    return null;
}

function show() {
    const path = location.hash.slice(1) || fallback;
    const found = match(path);
    if (!found) {
        navigate(fallback, {replace: true});
        return;
    }
    previous = current;
    current = path;
    if (leave) {
        leave();
        leave = null;
    }
    outlet.replaceChildren();
    window.scrollTo(0, 0);
    const visit = ++visits;
    if (!found.view.load) {
        enter(found.view, found.params);
        return;
    }
    // its loading state, or its failure with a retry, in a box the next view throws away
    const box = document.createElement('div');
    outlet.append(box);
    load(box, {
        title: '页面加载',
        task: found.view.load,
        render: (view) => {
            if (visit === visits) {
                outlet.replaceChildren();
                enter(view, found.params);
            }
            return null;
        },
    });
}

function enter(view, params) {
    const left = view(outlet, params);
    leave = typeof left === 'function' ? left : null;
}
