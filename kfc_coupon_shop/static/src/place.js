// Where the customer is (the position and its city, found once per page load) and the city
// a store search looks in (the one picked, else the one the customer is in).
import {ApiError, post} from './api.js';
import {recall} from './session.js';
import {getLocation} from './wechat.js';

let positioned = null;
let located = null;
let cityList = null;

// {lat, lng}: all that the stores near the customer need.
export function findPosition() {
    if (!positioned) {
        positioned = getLocation();
        positioned.catch(() => { positioned = null; });     // a failed lookup is made afresh
    }
    return positioned;
}

// {position: {lat, lng}, city, address}
export function locate() {
    if (!located) {
        located = findPlace();
        located.catch(() => { located = null; });
    }
    return located;
}

async function findPlace() {
    const position = await findPosition();
    const reply = await post('post_city_name', position);
    const city = reply.data && reply.data.city;
    if (!city) {
        throw new ApiError('未能识别你所在的城市，请重试');
    }
    return {position, city, address: reply.address || ''};
}

// The back-end's cities, grouped by initial: [{letter, cities: [{cityNameZh, gbCityCode}]}]
export function cityGroups() {
    if (!cityList) {
        cityList = post('post_kfc_getcity').then((reply) => (reply.data && reply.data.data) || []);
        cityList.catch(() => { cityList = null; });
    }
    return cityList;
}

// The city to search stores in: the one picked on the city list, else the back-end's city
// the customer is in (the geocoder says "上海市" where the back-end says "上海").
export async function searchCity() {
    const picked = recall('city');
    if (picked) {
        return picked;
    }
    const {city} = await locate();
    const cities = (await cityGroups()).flatMap((group) => group.cities);
    const found = cities.find((c) => c.cityNameZh === city || c.cityNameZh + '市' === city)
        || cities.find((c) => c.cityNameZh && city.includes(c.cityNameZh));
    if (!found) {
        throw new ApiError(`暂未开通${city}的门店，请选择其他城市`);
    }
    return found;
}
