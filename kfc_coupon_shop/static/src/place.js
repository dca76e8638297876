// Where the customer is (the position and its city, found once per page load), the position
// last found on this phone (a first guess while WeChat finds the current one) and the city a
// store search looks in (the one picked, else the one the customer is in).
import {ApiError, post} from './api.js';
import {recall} from './session.js';
import {jssdkConfigured} from './start.js';
import {getLocation} from './wechat.js';

const REMEMBERED_KEY = 'kfc.position';
const REMEMBERED_FOR_MS = 10 * 60 * 1000;
const MOVED_METRES = 100;           // nearer than this, the same stores at about the same distances

let positioned = null;
let located = null;
let cityList = null;

// {lat, lng}: all that the stores near the customer need; kept on this phone for the next load.
export function findPosition() {
    if (!positioned) {
        positioned = jssdkConfigured().then(getLocation);
        positioned.then(rememberPosition, () => { positioned = null; });   // a failed lookup is made afresh
    }
    return positioned;
}

// {lat, lng} found on this phone in the last minutes, or null. Only a first guess: the
// position found now replaces it (see moved).
export function rememberedPosition() {
    let remembered = null;
    try {
        const {lat, lng, at} = JSON.parse(localStorage.getItem(REMEMBERED_KEY)) || {};
        // a clock set back a little does not make it older
        const recent = Math.abs(Date.now() - at) <= REMEMBERED_FOR_MS;
        if (recent && Number.isFinite(lat) && Number.isFinite(lng)) {
            remembered = {lat, lng};
        } else {
            localStorage.removeItem(REMEMBERED_KEY);        // where she was is kept no longer
        }
    } catch (error) {       // not ours, or storage refused
    }
    return remembered;
}

function rememberPosition({lat, lng}) {
    try {
        localStorage.setItem(REMEMBERED_KEY, JSON.stringify({lat, lng, at: Date.now()}));
    } catch (error) {       // storage full or refused: the next load waits for WeChat
    }
}

// Whether the customer is far enough from where ``before`` was for other stores or distances.
export function moved(before, now) {
    const radians = Math.PI / 180;
    const dLat = (now.lat - before.lat) * radians;
    const dLng = (now.lng - before.lng) * radians;
    const a = Math.sin(dLat / 2) ** 2
        + Math.cos(before.lat * radians) * Math.cos(now.lat * radians) * Math.sin(dLng / 2) ** 2;
    return 2 * 6371e3 * Math.asin(Math.sqrt(a)) > MOVED_METRES;
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
