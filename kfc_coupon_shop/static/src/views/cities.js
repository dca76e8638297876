// The cities by initial; the one picked is where the store list and its search look, until the
// customer goes back to the stores near her.
import {h} from '../dom.js';
import {cityGroups} from '../place.js';
import {back} from '../router.js';
import {forget, remember} from '../session.js';
import {header, load} from '../ui.js';

export function citiesView(outlet) {
    const list = h('section', {class: 'cities'});
    const nearby = h('button', {type: 'button', class: 'city-option nearby',
                                onclick: () => { forget('city'); back('/stores'); }}, '附近门店（当前位置）');
    outlet.append(header('选择城市', () => back('/stores')), h('div', {class: 'nearby-row'}, nearby), list);
    load(list, {
        title: '城市列表',
        loading: '正在加载城市…',
        task: cityGroups,
        isEmpty: (groups) => groups.length === 0,
        empty: '暂无可选城市',
        render: (groups) => groups.map((group) => h('div', {class: 'letter-group'},
            h('h2', {class: 'letter'}, group.letter),
            h('div', {class: 'city-grid'}, group.cities.map((city) => h('button', {
                type: 'button', class: 'city-option',
                onclick: () => {
                    remember('city', {cityNameZh: city.cityNameZh, gbCityCode: city.gbCityCode});
                    back('/stores');
                },
            }, city.cityNameZh))))),
    });
}
