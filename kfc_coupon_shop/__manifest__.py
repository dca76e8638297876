{
    'name': 'KFC Coupon Shop',
    'summary': 'WeChat H5 meal-coupon shop: coupons, stores, menus, orders, WeChat Pay',
    'description': """
API of the WeChat H5 meal-coupon shop. The routes are the controllers carried by the
routeweave extension module (pip install routeweave into Odoo's Python).

Back office: the "Coupon shop" application (orders, refunds, coupons, catalogue, customers,
API log; configuration for managers), for the groups Coupon shop / Staff and Manager. Staff
send a pick-up message again and ask WeChat Pay about a refund in progress; managers refund
dishes, run the settlement, synchronise a store's menu; administrators keep the shop's
settings. Labels in English and Chinese.

The add-on defines its own sale.order: it does not install beside Odoo's Sales app.
""",
    'version': '16.0.1.3.0',
    'category': 'Sales',
    'author': 'routeweave',
    'license': 'LGPL-3',
    'depends': ['base', 'web'],
    'external_dependencies': {
        'python': ['routeweave', 'requests', 'cryptography', 'pytz', 'geopy'],
    },
    'data': [
        'security/kfc_coupon_shop_security.xml',
        'security/ir.model.access.csv',
        'data/res_currency_data.xml',
        'data/ir_sequence_data.xml',
        'data/ir_config_parameter_data.xml',
        'data/ir_cron_data.xml',
        'data/res_users_data.xml',
        'data/kfc_dashboard_data.xml',
        'wizard/sale_order_staff_refund_views.xml',
        'wizard/sale_order_settle_views.xml',
        'wizard/kfc_product_menu_sync_views.xml',
        'wizard/kfc_coupon_batch_issue_views.xml',
        'views/sale_order_views.xml',
        'views/sale_refund_order_views.xml',
        'views/kfc_coupon_views.xml',
        'views/kfc_coupon_batch_views.xml',
        'views/kfc_product_views.xml',
        'views/kfc_user_views.xml',
        'views/api_log_views.xml',
        'views/config_views.xml',
        'views/res_config_settings_views.xml',
        'views/reconciliation_views.xml',
        'views/kfc_staff_event_views.xml',
        'views/kfc_dashboard_views.xml',
        'views/kfc_coupon_shop_menus.xml',
    ],
    # A shop to try, against the sandbox's defaults; its coupon codes and passwords are known,
    # so production databases are made with --without-demo=all.
    'demo': [
        'demo/config_demo.xml',
        'demo/kfc_product_demo.xml',
        'demo/kfc_coupon_demo.xml',
        'demo/res_users_demo.xml',
    ],
    'installable': True,
    'application': True,
}
