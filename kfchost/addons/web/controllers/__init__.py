from . import home
