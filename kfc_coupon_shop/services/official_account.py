"""The WeChat official account's API as the add-on calls it itself: the account's access token
and its template messages (the customers' own calls are the controllers')."""

TOKEN_PATH = '/cgi-bin/token'
TEMPLATE_SEND_PATH = '/cgi-bin/message/template/send'


class OfficialAccountApi:
    """WeChat's API at ``api_origin`` (the deployment's wechat_api_origin), called through
    ``session``: the host's outbound client (time-outs, sandbox mapping, secrets redacted)."""

    def __init__(self, session, api_origin):
        self.session = session
        self.api_origin = api_origin

    def fetch_token(self, app_id, secret):
        """WeChat's reply to a token request: "access_token" and "expires_in", or "errcode"."""
        return self.session.get(self.api_origin + TOKEN_PATH, params={
            'grant_type': 'client_credential', 'appid': app_id, 'secret': secret}).json()

    def send_template(self, access_token, message):
        """WeChat's reply to a template message (its "errcode" 0: sent)."""
        return self.session.post(self.api_origin + TEMPLATE_SEND_PATH,
                                 params={'access_token': access_token}, json=message).json()
