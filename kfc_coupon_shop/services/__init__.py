"""The outside services as the add-on talks to them, and its settings.

Imports run one way: ``redaction`` and ``deployment`` import nothing of the add-on; the
clients (``outbound``, ``wechatpay``, ``coupon_backend``) import only those; ``settings`` reads
the server's configuration file; ``runtime`` builds the process's services from the settings.
"""
