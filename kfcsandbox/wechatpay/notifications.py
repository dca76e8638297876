"""WeChat Pay's notifications and their redelivery.

A notification is a compact JSON envelope whose resource is AES-256-GCM encrypted with the
APIv3 key, signed with the platform key and POSTed to the notify_url of its payment or refund;
the status and body of each answer are recorded. Only 200 and 204 count as received; one not
received is sent again on WeChat Pay's schedule (15 s, 15 s, 30 s, 3 min ... 6 h), each wait
multiplied by the state's ``notify_retry_scale``.
"""
import uuid

import requests

from .. import crypto
from ..replies import compact_json
from .apiv3 import Part, rfc3339

# Seconds between the deliveries of a notification that is not answered with 200 or 204.
RETRY_SCHEDULE = (15, 15, 30, 180, 600, 1200, 1800, 1800, 1800, 3600, 10800, 10800, 10800,
                  21600, 21600)


class Notifications(Part):
    def envelope(self, kind, event_type, summary, resource):
        """The notification's body: ``resource`` sealed for the merchant."""
        nonce, ciphertext = crypto.encrypt_resource(
            self.config.apiv3_key, compact_json(resource).encode('utf-8'), kind)
        return {
            'id': str(uuid.uuid4()),
            'create_time': rfc3339(self.state.clock()),
            'resource_type': 'encrypt-resource',
            'event_type': event_type,
            'summary': summary,
            'resource': {'original_type': kind, 'algorithm': 'AEAD_AES_256_GCM',
                         'ciphertext': ciphertext, 'associated_data': kind, 'nonce': nonce},
        }

    def record(self, kind, url, event_type, summary, resource):
        """A new notification, kept with its deliveries (under the state's lock)."""
        envelope = self.envelope(kind, event_type, summary, resource)
        notification = {'id': envelope['id'], 'kind': kind, 'url': url,
                        'event_type': event_type, 'resource': resource,
                        'body': compact_json(envelope), 'deliveries': []}
        self.state.notifications.append(notification)
        return notification

    def send(self, notification, deliveries):
        """Deliver ``deliveries`` times at once; none received, and WeChat Pay's schedule
        takes over."""
        received = [self.deliver(notification)['received'] for _ in range(deliveries)]
        if received and not any(received):
            self._schedule_retry(notification, 0)
        return notification

    def _schedule_retry(self, notification, retry):
        if retry >= len(RETRY_SCHEDULE):
            return          # WeChat Pay gives up; the merchant must query
        delay = RETRY_SCHEDULE[retry] * self.state.notify_retry_scale
        self.state.start_timer(delay, lambda: self._retry(notification, retry))

    def _retry(self, notification, retry):
        with self.state.lock:
            current = any(n is notification for n in self.state.notifications)
            answered = any(d['received'] for d in notification['deliveries'])
        if not current or answered:
            return
        if not self.deliver(notification, retry=retry + 1)['received']:
            self._schedule_retry(notification, retry + 1)

    def find(self, notification_id):
        with self.state.lock:
            for notification in self.state.notifications:
                if notification['id'] == notification_id:
                    return notification
        raise LookupError('no notification %r' % notification_id)

    def deliver(self, notification, probe=False, retry=0):
        """POST the notification once, freshly signed; records and returns the answer.

        retry: which scheduled redelivery this is (0: a first or a manual delivery)."""
        body = notification['body'].encode('utf-8')
        delivery = {'at': rfc3339(self.state.clock()), 'probe': probe, 'retry': retry}
        if not notification['url']:
            delivery.update(status=None, body='', error='no notify_url', received=False)
        else:
            delivery.update(self.post(
                notification['url'], body, self.apiv3.signature_headers(body, probe=probe)))
        with self.state.lock:
            notification['deliveries'].append(delivery)
        return delivery

    def post(self, url, body, signature_headers):
        """POST one notification body; {status, body, error, received} of the answer."""
        headers = dict(signature_headers, **{'Content-Type': 'application/json', 'Accept': '*/*',
                                              'User-Agent': 'Mozilla/4.0'})
        try:
            answer = requests.post(url, data=body, headers=headers,
                                   timeout=self.config.notify_timeout)
        except requests.RequestException as exc:
            return {'status': None, 'body': '', 'error': '%s: %s' % (type(exc).__name__, exc),
                    'received': False}
        return {'status': answer.status_code, 'body': answer.text, 'error': '',
                'received': answer.status_code in (200, 204)}
