// The stores: where the customer is, the shop's hours, and the stores near her or, once she
// picked a city, that city's; a search by keyword looks in the same city (an empty one lists
// the city's stores).
import {post} from '../api.js';
import {h} from '../dom.js';
import {CLOSED_NOTICE, ORDER_HOURS_TEXT, takingOrders} from '../hours.js';
import {findPosition, locate, moved, rememberedPosition, searchCity} from '../place.js';
import {recall, remember} from '../session.js';
import {header, load, tabs} from '../ui.js';

export function storesView(outlet) {
    const here = h('section', {class: 'here'});
    const results = h('section', {class: 'results'});
    const input = h('input', {type: 'search', name: 'keyword', placeholder: '搜索门店名称或地址',
                              enterkeyhint: 'search', 'aria-label': '门店关键字'});
    const picked = recall('city');
    const search = h('form', {class: 'search', onsubmit: (event) => {
        event.preventDefault();
        findStores(results, input.value.trim());
    }},
        h('a', {class: 'city-pick', href: '#/cities'}, picked ? picked.cityNameZh : '选择城市'),
        input,
        h('button', {type: 'submit'}, '搜索'));
    const open = takingOrders();
    const hours = h('p', {class: open ? 'notice hours' : 'notice hours closed-notice', role: 'status'},
                    open ? `点餐时间 每日${ORDER_HOURS_TEXT}` : CLOSED_NOTICE);
    outlet.append(header('选择门店'), here, search, hours, results, tabs('/stores'));
    let listed = null;
    let listedFor = null;       // the position the stores near her were found for
    // The stores near where this phone last found her at once, while WeChat finds her now;
    // found again when she is elsewhere, once the first answer is in (the later list stays).
    const listNearby = async () => {
        const remembered = listed ? null : rememberedPosition();
        if (remembered) {
            listedFor = remembered;
            listed = nearbyStores(results, remembered);
        }
        const position = await findPosition();
        await listed;
        if (!listedFor || moved(listedFor, position)) {
            listedFor = position;
            listed = nearbyStores(results, position);
            await listed;
        }
    };
    load(here, {
        title: '定位',
        loading: '正在获取你的位置…',
        // the stores first; then the name of her city, which only this bar shows
        task: async () => {
            if (picked) {
                await findPosition();
                listed = listed || findStores(results, '');
                await listed;
            } else {
                await listNearby();
            }
            return locate();
        },
        render: (place) => [h('span', {class: 'pin', 'aria-hidden': 'true'}),
                            h('strong', {class: 'city'}, place.city),
                            h('span', {class: 'address'}, place.address)],
    });
}

function nearbyStores(results, position) {
    return load(results, {
        title: '附近门店',
        loading: '正在查找附近门店…',
        task: async () => {
            const reply = await post('post_kfc_store_lbs', {user_lat: position.lat, user_lng: position.lng});
            return reply.data || [];
        },
        isEmpty: (stores) => stores.length === 0,
        empty: '附近没有门店，试试搜索其他门店',
        render: (stores) => storeList('附近门店', stores),
    });
}

function findStores(results, keyword) {
    return load(results, {
        title: '搜索门店',
        loading: '正在搜索门店…',
        task: async () => {
            const [position, city] = await Promise.all([findPosition(), searchCity()]);
            const reply = await post('post_kfc_store', {
                cityname: city.cityNameZh, gbcitycode: city.gbCityCode, keyword,
                user_lat: position.lat, user_lng: position.lng,
            });
            return {city, stores: reply.data || []};
        },
        isEmpty: ({stores}) => stores.length === 0,
        empty: keyword ? `没有找到与“${keyword}”相关的门店` : '该城市暂无门店',
        render: ({city, stores}) => storeList(keyword ? `“${keyword}”的搜索结果`
                                                      : `${city.cityNameZh}的门店`, stores),
    });
}

function storeList(title, stores) {
    return [h('h2', {class: 'section-title'}, title),
            h('ul', {class: 'stores'}, stores.map((store) => h('li', {}, storeCard(store))))];
}

function storeCard(store) {
    const open = Boolean(store.boolOpenTime);
    return h('a', {class: 'store', href: '#/menu/' + encodeURIComponent(store.storecode),
                   onclick: () => remember('store', store)},
        h('div', {class: 'store-head'},
            h('strong', {class: 'store-name'}, store.storename),
            h('span', {class: open ? 'badge open' : 'badge closed'}, open ? '营业中' : '休息中')),
        h('p', {class: 'store-address'}, store.address),
        h('p', {class: 'store-meta'},
            h('span', {}, `营业时间 ${store.starttime}-${store.endtime}`),
            h('span', {class: 'distance'}, distance(store.distance))));
}

function distance(km) {
    const value = Number(km);
    if (!Number.isFinite(value)) {
        return '';
    }
    return value < 1 ? `${Math.round(value * 1000)} m` : `${value.toFixed(1)} km`;
}
