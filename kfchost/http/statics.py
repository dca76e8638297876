"""Static files of add-ons, served as Odoo serves them: ``GET /<add-on>/static/<path>`` from the
add-on's ``static`` folder, before any route is matched and without a database transaction."""
import werkzeug.utils
from werkzeug.exceptions import NotFound


def static_response(httprequest, statics):
    """The response serving the file ``httprequest`` asks for, or None when its path names no
    static file of ``statics`` ({add-on name: its static folder})."""
    try:
        _, module, static, resource = httprequest.path.split('/', 3)
    except ValueError:
        return None
    if static != 'static' or module not in statics or not resource:
        return None
    try:
        # No caching beyond a check of the ETag: the stand-in serves a checkout being worked
        # on, so an edited file shows at the next load (Odoo lets browsers keep them a week).
        return werkzeug.utils.send_from_directory(statics[module], resource,
                                                  httprequest.environ, max_age=0)
    except NotFound:
        return None
