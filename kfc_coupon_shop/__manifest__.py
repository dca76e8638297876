{
    'name': 'KFC Coupon Shop',
    'summary': 'WeChat H5 meal-coupon shop: coupons, stores, menus, orders, WeChat Pay',
    'description': """
API of the WeChat H5 meal-coupon shop. The routes are the controllers carried by the
routeweave extension module (pip install routeweave into Odoo's Python).

The add-on defines its own sale.order: it does not install beside Odoo's Sales app.
""",
    'version': '16.0.1.1.0',
    'category': 'Sales',
    'author': 'routeweave',
    'license': 'LGPL-3',
    'depends': ['base'],
    'external_dependencies': {
        'python': ['routeweave', 'requests', 'cryptography', 'pytz', 'geopy'],
    },
    'data': [
        'security/ir.model.access.csv',
        'data/ir_sequence_data.xml',
        'data/ir_config_parameter_data.xml',
        'data/ir_cron_data.xml',
    ],
    'installable': True,
    'application': True,
}
