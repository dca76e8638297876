class CouponController(http.Controller):
    # Back-office routes: refund requests, the pick-up message and the ordering-service probes.
    pass
