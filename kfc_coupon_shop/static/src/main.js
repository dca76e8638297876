// The customer's page: log in with WeChat, then show the views (the JS-SDK is configured
// meanwhile, for the views that call it).
import {logError} from './api.js';
import {lazy, preload, route, start} from './router.js';
import {loggedIn} from './start.js';
import {load} from './ui.js';
import {menuView} from './views/menu.js';
import {storesView} from './views/stores.js';

// The stores and a store's menu come with the page; the other views when first shown.
route('/stores', storesView);
route('/menu/:code', menuView);
route('/cities', lazy(() => import('./views/cities.js'), 'citiesView'));
route('/coupons', lazy(() => import('./views/coupons.js'), 'couponsView'));
route('/checkout', lazy(() => import('./views/checkout.js'), 'checkoutView'));
route('/orders', lazy(() => import('./views/orders.js'), 'ordersView'));
route('/order/:id', lazy(() => import('./views/order.js'), 'orderView'));

window.addEventListener('error', (event) => logError('页面脚本错误', event.message));
window.addEventListener('unhandledrejection', (event) => logError('页面脚本错误', event.reason));

const app = document.getElementById('app');
preload(location.hash.slice(1));        // the view the page opens on, while it logs in
load(app, {
    title: '进入页面',
    loading: '正在登录…',
    task: loggedIn,
    render: () => start(app, '/stores'),
});
