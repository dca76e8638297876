// The page's outside addresses, which the host writes into the page (#page-config, as its
// route /kfc_coupon_shop/page_config answers them): WeChat's in production, the sandbox's in
// sandbox mode. The page names none of them itself.
let config = null;

export function pageConfig() {
    config = config || JSON.parse(document.getElementById('page-config').textContent);
    return config;
}

// A dish image's address as this page fetches it (the sandbox's image host in sandbox mode);
// null for anything that is not an http(s) address.
export function imageUrl(url) {
    if (typeof url !== 'string' || !/^https?:\/\//.test(url)) {
        return null;
    }
    for (const [origin, base] of Object.entries(pageConfig().image_origins || {})) {
        if (url.startsWith(origin + '/')) {
            return base + url.slice(origin.length);
        }
    }
    return url;
}
