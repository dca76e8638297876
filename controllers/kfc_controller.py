class KfcController(http.Controller):
    # Store catalogue: city from coordinates, cities, stores, menus and menu synchronisation.
    pass
