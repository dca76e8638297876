// The page's start: the login and the JS-SDK's configuration, each a few round trips, begun
// together as soon as this module and its few imports are in (the page loads it by itself,
// ahead of the views' modules). The login goes first: it takes WeChat's "code" off the address
// the configuration is signed for. The views wait only for the login; what calls the JS-SDK
// (the position) waits for the configuration as well.
import {post} from './api.js';
import {pageConfig} from './config.js';
import {configureJssdk, login} from './wechat.js';

let signed = null;

// The promise make() gave, kept until it fails: the next call after a failure (a retry)
// begins again. Whoever awaits it tells the failure.
function kept(make) {
    let promise = null;
    return () => {
        if (!promise) {
            promise = make();
            promise.catch(() => { promise = null; });
        }
        return promise;
    };
}

const loggingIn = kept(() => login(pageConfig()));
export const jssdkConfigured = kept(() => {
    signed = post('post_wx_config');
    return configureJssdk(pageConfig(), signed);
});

// The login token, once the signature has answered too, either way: the views' first calls
// then have the server to themselves (on SQLite, a call that renews the back-end's token
// loses to a commit made meanwhile, and its route answers as if nothing were found).
export async function loggedIn() {
    const token = await loggingIn();
    await signed.catch(() => {});
    return token;
}

loggingIn();
jssdkConfigured();
