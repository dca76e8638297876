// One view per step, addressed by the fragment (#/stores, #/menu/SH3001): the browser's back
// button steps back through the views, and the page's address without its fragment, which the
// JS-SDK configuration is signed for, never changes. A view may return a function, called when
// it is left (to stop what it keeps running).
const routes = [];
let outlet = null;
let fallback = '/';
let previous = null;
let current = null;
let leave = null;

// pattern: "/menu/:code"; view(outlet, params) fills the outlet (and may return its leave()).
export function route(pattern, view) {
    routes.push({parts: pattern.split('/'), view});
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
    }
    outlet.replaceChildren();
    window.scrollTo(0, 0);
    const left = found.view(outlet, found.params);
    leave = typeof left === 'function' ? left : null;
}
