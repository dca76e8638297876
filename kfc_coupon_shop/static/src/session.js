// What this browser tab keeps: the login token and the customer's choices (city, store,
// cart), in sessionStorage only, so that a reload or the back button finds them again and
// nothing outlives the tab (the position last found, a first guess for the next load, is
// place.js's, for minutes).
const PREFIX = 'kfc.';

export function remember(key, value) {
    sessionStorage.setItem(PREFIX + key, JSON.stringify(value));
}

export function recall(key) {
    const text = sessionStorage.getItem(PREFIX + key);
    try {
        return text === null ? null : JSON.parse(text);
    } catch (error) {
        return null;
    }
}

export function forget(key) {
    sessionStorage.removeItem(PREFIX + key);
}
