"""What the back office's buttons answer the web client."""

CLOSE = {'type': 'ir.actions.act_window_close'}     # closing reloads the record behind


def notification(message, kind='info', next=None):
    """A notification (``kind``: info, success, warning or danger; the last two stay until
    closed), then the action ``next``."""
    params = {'message': message, 'type': kind, 'sticky': kind in ('warning', 'danger')}
    if next:
        params['next'] = next
    return {'type': 'ir.actions.client', 'tag': 'display_notification', 'params': params}
