// A store's menu by category: images, names, prices, and the choices of multi-choice dishes.
import {post} from '../api.js';
import {imageUrl} from '../config.js';
import {append, h} from '../dom.js';
import {back} from '../router.js';
import {recall} from '../session.js';
import {header, load} from '../ui.js';

export function menuView(outlet, {code}) {
    const store = recall('store');
    const known = store && store.storecode === code ? store : null;
    const body = h('div', {class: 'menu'});
    append(outlet, [header(known ? known.storename : '门店菜单', () => back('/stores')),
                    known ? h('p', {class: 'menu-store'}, known.address) : null,
                    body]);
    load(body, {
        title: '菜单',
        loading: '正在加载菜单…',
        task: async () => (await post('post_menu_list', {date: shanghaiDate(), storecode: code})).data || [],
        isEmpty: (categories) => categories.length === 0,
        empty: '该门店暂无可售的菜品',
        render: renderMenu,
    });
}

// The business day as the stores count it, in China Standard Time: "2026-12-09".
function shanghaiDate() {
    return new Intl.DateTimeFormat('en-CA', {timeZone: 'Asia/Shanghai'}).format(new Date());
}

function renderMenu(categories) {
    const sections = categories.map((category, index) => h('section', {class: 'category', id: `category-${index}`},
        h('h2', {class: 'category-name'}, category.name),
        category.children.map(dishCard)));
    const tabs = categories.map((category, index) => h('button', {
        type: 'button', class: 'category-tab',
        onclick: () => sections[index].scrollIntoView({behavior: 'smooth', block: 'start'}),
    }, picture(category.icon, '', 'tab-icon'), h('span', {}, category.name)));
    return [h('nav', {class: 'categories', 'aria-label': '菜品分类'}, tabs),
            h('div', {class: 'dishes'}, sections)];
}

function dishCard(dish) {
    return h('article', {class: 'dish'},
        picture(dish.image, dish.name, 'dish-image'),
        h('div', {class: 'dish-body'},
            h('h3', {class: 'dish-name'}, dish.name),
            dish.remark ? h('p', {class: 'dish-remark'}, dish.remark) : null,
            dish.is_multiple ? choices(dish.grandchild || []) : null,
            h('p', {class: 'price'}, price(dish.unit_price))));
}

function choices(children) {
    return h('div', {class: 'choices'},
        h('p', {class: 'choices-title'}, `${children.length}选1`),
        h('ul', {}, children.map((child) => h('li', {class: 'choice'},
            picture(child.image, '', 'choice-image'),
            h('span', {class: 'choice-name'}, child.name)))));
}

function price(value) {
    return '¥' + Number(value || 0).toFixed(2);
}

// An image from the image host, or a plain tile when there is none or it fails to load.
function picture(url, alt, className) {
    const tile = () => h('span', {class: className + ' no-image', 'aria-hidden': 'true'});
    const src = imageUrl(url);
    if (!src) {
        return tile();
    }
    const image = h('img', {class: className, src, alt, loading: 'lazy'});
    image.addEventListener('error', () => image.replaceWith(tile()), {once: true});
    return image;
}
