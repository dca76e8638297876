// The customer's page: log in with WeChat, configure the JS-SDK, then show the views.
import {logError} from './api.js';
import {loadConfig} from './config.js';
import {route, start} from './router.js';
import {load} from './ui.js';
import {checkoutView} from './views/checkout.js';
import {citiesView} from './views/cities.js';
import {couponsView} from './views/coupons.js';
import {menuView} from './views/menu.js';
import {orderView} from './views/order.js';
import {ordersView} from './views/orders.js';
import {storesView} from './views/stores.js';
import {configureJssdk, login} from './wechat.js';

route('/stores', storesView);
route('/cities', citiesView);
route('/menu/:code', menuView);
route('/coupons', couponsView);
route('/checkout', checkoutView);
route('/orders', ordersView);
route('/order/:id', orderView);

window.addEventListener('error', (event) => logError('页面脚本错误', event.message));
window.addEventListener('unhandledrejection', (event) => logError('页面脚本错误', event.reason));

const app = document.getElementById('app');
load(app, {
    title: '进入页面',
    loading: '正在登录…',
    task: async (say) => {
        const config = await loadConfig();
        await login(config);
        say('正在连接微信…');
        await configureJssdk(config);
    },
    render: () => start(app, '/stores'),
});
