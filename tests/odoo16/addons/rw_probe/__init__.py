from . import controllers, models
