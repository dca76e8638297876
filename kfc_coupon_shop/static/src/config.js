// The page's outside addresses, served by the host (/kfc_coupon_shop/page_config): WeChat's in
// production, the sandbox's in sandbox mode. The page names none of them itself.
import {getJson} from './api.js';

let config = null;

export async function loadConfig() {
    config = config || await getJson('/kfc_coupon_shop/page_config');
    return config;
}

// A dish image's address as this page fetches it (the sandbox's image host in sandbox mode);
// null for anything that is not an http(s) address.
export function imageUrl(url) {
    if (typeof url !== 'string' || !/^https?:\/\//.test(url)) {
        return null;
    }
    const origins = (config && config.image_origins) || {};
    for (const [origin, base] of Object.entries(origins)) {
        if (url.startsWith(origin + '/')) {
            return base + url.slice(origin.length);
        }
    }
    return url;
}
