"""Local simulators of the outside services: WeChat, WeChat Pay, Tencent Map, the coupon back-end."""
