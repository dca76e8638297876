class OrderController(http.Controller):
    # Orders: coupon redemption, order creation, order lists and fulfilment tracking.
    pass
