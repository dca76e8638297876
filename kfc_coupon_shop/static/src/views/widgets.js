// Pieces several views show: a dish's picture and a stepper of units.
import {imageUrl} from '../config.js';
import {h, refill} from '../dom.js';

// An image from the image host, or a plain tile when there is none or it fails to load.
export function picture(url, alt, className) {
    const tile = () => h('span', {class: className + ' no-image', 'aria-hidden': 'true'});
    const src = imageUrl(url);
    if (!src) {
        return tile();
    }
    const image = h('img', {class: className, src, alt, loading: 'lazy'});
    image.addEventListener('error', () => image.replaceWith(tile()), {once: true});
    return image;
}

// "−  n  +" for the units of a dish: count() reads them, change(delta) changes them; the
// stepper redraws itself, and shows "+" alone while there are none.
export function stepper(name, count, change) {
    const box = h('span', {class: 'stepper'});
    const draw = () => {
        const n = count();
        refill(box, [
            n > 0 ? h('button', {type: 'button', class: 'step less', 'aria-label': `减少${name}`,
                                 onclick: () => { change(-1); draw(); }}, '−') : null,
            n > 0 ? h('span', {class: 'units', 'aria-live': 'polite'}, String(n)) : null,
            h('button', {type: 'button', class: 'step more', 'aria-label': `添加${name}`,
                         onclick: () => { change(1); draw(); }}, '+')]);
    };
    draw();
    return box;
}
