// Elements built from data. Text from the server always goes in as text (a text node or an
// attribute value), never as markup: nothing here parses HTML.

export function h(tag, props = {}, ...children) {
    const element = document.createElement(tag);
    for (const [key, value] of Object.entries(props)) {
        if (value === null || value === undefined || value === false) {
            continue;
        }
        if (key.startsWith('on')) {
            element.addEventListener(key.slice(2), value);
        } else if (key === 'class') {
            element.className = value;
        } else {
            element.setAttribute(key, value === true ? '' : String(value));
        }
    }
    append(element, children);
    return element;
}

export function append(element, children) {
    for (const child of [children].flat(Infinity)) {
        if (child !== null && child !== undefined && child !== false) {
            element.append(child instanceof Node ? child : String(child));
        }
    }
    return element;
}

// The element's children replaced by ``children`` (null, undefined and false left out).
export function refill(element, children) {
    element.replaceChildren();
    return append(element, children);
}
