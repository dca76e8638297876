"""What routes answer: werkzeug's Response with Odoo's constructor and return-value coercion."""
import logging

import werkzeug.exceptions
import werkzeug.wrappers

_logger = logging.getLogger(__name__)


class Response(werkzeug.wrappers.Response):
    """An HTTP response; ``template``, ``qcontext`` and ``uid`` are accepted as Odoo accepts them.

    No views exist on this host, so a template is only remembered, never rendered.
    """
    default_mimetype = 'text/html'

    def __init__(self, *args, **kw):
        template = kw.pop('template', None)
        qcontext = kw.pop('qcontext', None)
        uid = kw.pop('uid', None)
        super().__init__(*args, **kw)
        self.set_default(template, qcontext, uid)

    @classmethod
    def load(cls, result, fname="<function>"):
        """Turn a route's return value into a Response, or refuse it."""
        if isinstance(result, Response):
            return result

        if isinstance(result, werkzeug.exceptions.HTTPException):
            _logger.warning("%s returns an HTTPException instead of raising it.", fname)
            raise result

        if isinstance(result, werkzeug.wrappers.Response):
            response = cls.force_type(result)
            response.set_default()
            return response

        if isinstance(result, (bytes, str, type(None))):
            return cls(result)

        raise TypeError(f"{fname} returns an invalid value: {result}")

    def set_default(self, template=None, qcontext=None, uid=None):
        self.template = template
        self.qcontext = qcontext or dict()
        self.qcontext['response_template'] = self.template
        self.uid = uid

    @property
    def is_qweb(self):
        return self.template is not None
