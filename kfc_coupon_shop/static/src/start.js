// The page's start: the login and the JS-SDK's configuration, each a few round trips, begun
// together as soon as this module and its few imports are in (the page loads it by itself,
// ahead of the views' modules). The login goes first: it takes WeChat's "code" off the address
// the configuration is signed for.
import {pageConfig} from './config.js';
import {configureJssdk, login} from './wechat.js';

let begun = null;
begun = begin();

// {loggedIn, configured}: the promises of the two; the first call takes up the start this
// module began, a later one (a retry) begins again.
export function begin() {
    if (begun) {
        const early = begun;
        begun = null;
        return early;
    }
    const config = pageConfig();
    const loggedIn = login(config);
    const configured = configureJssdk(config);
    for (const promise of [loggedIn, configured]) {
        promise.catch(() => {});        // their failure is told by whoever awaits them
    }
    return {loggedIn, configured};
}
