"""The shop add-on on an Odoo server of the harness: its settings pointing it at the sandbox."""
import os


def addon_settings(sandbox, run_dir, public_url):
    """The [kfc_coupon_shop] section pointing Odoo at the sandbox, keys written to files."""
    pay = sandbox.config.host_settings()['wechatpay']
    backend = sandbox.config.host_settings()['coupon_backend']
    os.makedirs(run_dir, exist_ok=True)
    files = {}
    for name, pem in (('merchant_key.pem', pay['merchant_private_key']),
                      ('platform_cert.pem', pay['platform_public_key'])):
        files[name] = os.path.join(run_dir, name)
        with open(files[name], 'w', encoding='ascii') as handle:
            handle.write(pem)
        os.chmod(files[name], 0o600)
    return {
        'public_url': public_url,
        'sandbox_url': sandbox.url,
        'outbound_timeout': '5, 15',
        'wechatpay_mchid': pay['mchid'],
        'wechatpay_appid': pay['appid'],
        'wechatpay_merchant_serial': pay['merchant_serial'],
        'wechatpay_private_key_file': files['merchant_key.pem'],
        'wechatpay_apiv3_key': pay['apiv3_key'],
        'wechatpay_platform_public_key_file': files['platform_cert.pem'],
        'wechatpay_platform_serial': pay['platform_serial'],
        'coupon_backend_account': backend['account'],
        'coupon_backend_password': backend['password'],
        'coupon_backend_order_signing_key': backend['order_signing_key'],
    }
