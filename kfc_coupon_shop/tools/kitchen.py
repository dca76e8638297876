"""The kitchen's dispatcher: the hand-over of dishes to the back-end, out of the requests.

A request that sends an order to the kitchen (a coupon-only order, the state change after a
payment) claims its dishes and queues them (``queued_for_kitchen``), committed with the order,
and wakes the dispatcher; it answers without waiting for the back-end. A run of the dispatcher
hands the queued dishes over concurrently, at most ``kitchen_pool`` at a time, each in a short
transaction of its own with a cursor of its own (sale.order.line._kfc_hand_over_queued).

On Odoo the dispatcher is the scheduled action ``ir_cron_hand_over``: ``ir.cron._trigger()``
in the request's transaction wakes it (Odoo notifies the cron workers once that commits), one
cron worker of any host runs it at a time (the job's row is held for the whole run), and it
runs every minute as a backstop. Odoo ends a run by deleting the job's triggers stamped
before the start of the run's transaction, stamps being whole seconds: a wake-up posted in a
run's first second is dropped. So a run ends only on a scan that found nothing and began at
least RESCAN_AFTER seconds after the run did; that scan finds the dishes of such a wake-up.
A run takes no more dishes after RUN_BUDGET seconds, so that it ends (its hand-overs in
flight within their time-outs) well inside the cron worker's real-time limit
(``limit_time_real_cron``, by default ``limit_time_real``, 120 s), and wakes itself again when
dishes are left.

On the stand-in, which has no scheduler, a thread of the serving process makes the same runs,
woken after commit, with a pool of at most STANDIN_POOL (SQLite has one writer).
"""
import concurrent.futures
import logging
import threading
import time
import weakref

from odoo import SUPERUSER_ID, api

_logger = logging.getLogger(__name__)

CRON = 'kfc_coupon_shop.ir_cron_hand_over'
# A run ends only on an empty scan begun this long (seconds) after its start: past the second
# in which Odoo drops the wake-ups posted.
RESCAN_AFTER = 1.5
# Seconds after which a run takes no more dishes and wakes itself again for those left: with
# hand-overs in flight bounded by the outbound time-outs (two calls of 5 + 15 s by default),
# a run ends within 100 s, inside the cron worker's 120 s.
RUN_BUDGET = 60
# How often (seconds) a run looks for more dishes while its pool has room.
SCAN_EVERY = 0.5
STANDIN_POOL = 2


def wake(env):
    """Have the dispatcher run once the transaction of ``env`` commits."""
    if 'ir.cron' in env:
        env.ref(CRON).sudo()._trigger()
    else:
        registry = env.registry
        env.cr.postcommit.add(lambda: _thread_dispatcher(registry).wake())


def run(scan, hand_over, pool_size, wake_again, budget=RUN_BUDGET, clock=time.monotonic,
        sleep=time.sleep):
    """One run: ``scan(exclude, limit)`` gives ids of queued dishes, ``hand_over(id)`` hands
    one over in a transaction of its own; at most ``pool_size`` at a time on threads (0: one
    after the other on this thread). Each dish is tried once per run. Returns how many were
    tried."""
    started = clock()
    tried, in_flight = set(), set()
    with concurrent.futures.ThreadPoolExecutor(max(pool_size, 1)) as pool:
        while True:
            scanned_at = clock() - started
            over_budget = scanned_at >= budget
            found = []
            if not over_budget and len(in_flight) < max(pool_size, 1):
                found = scan(tried, max(pool_size, 1) - len(in_flight))
                tried.update(found)
                for line_id in found:
                    if pool_size:
                        in_flight.add(pool.submit(hand_over, line_id))
                    else:
                        hand_over(line_id)
            if in_flight:
                _done, in_flight = concurrent.futures.wait(
                    in_flight, timeout=SCAN_EVERY, return_when=concurrent.futures.FIRST_COMPLETED)
            elif over_budget:
                if scan(tried, 1):
                    wake_again()
                return len(tried)
            elif not found:
                if scanned_at >= RESCAN_AFTER:
                    return len(tried)
                sleep(min(SCAN_EVERY, RESCAN_AFTER - scanned_at))


def hand_over_in_own_cursor(registry, services):
    """``hand_over`` for ``run``: one dish in a cursor of its own; a failure is logged and
    the dish stays queued for a later run (settlement takes it up past its claim's limit)."""
    def hand_over(line_id):
        try:
            with registry.cursor() as cr:
                env = api.Environment(cr, SUPERUSER_ID, {})
                env['sale.order.line'].browse(line_id)._kfc_hand_over_queued(services)
        except Exception:
            _logger.exception('handing line %s to the kitchen failed; left to a later run',
                              line_id)
    return hand_over


class ThreadDispatcher:
    """The stand-in's dispatcher of one database: a thread started by a wake-up, which runs
    again while wake-ups came during its run and ends once one found nothing new."""

    def __init__(self, registry):
        self.registry = registry
        self._lock = threading.Lock()
        self._woken = False
        self._thread = None

    def wake(self):
        with self._lock:
            self._woken = True
            if self._thread is None:
                self._thread = threading.Thread(target=self._serve, name='kitchen-dispatcher',
                                                daemon=True)
                self._thread.start()

    def _serve(self):
        while True:
            with self._lock:
                if not self._woken:
                    self._thread = None
                    return
                self._woken = False
            try:
                with self.registry.cursor() as cr:
                    api.Environment(cr, SUPERUSER_ID, {})['sale.order.line']._cron_hand_over()
            except Exception:
                _logger.exception('the kitchen dispatcher failed; the next wake-up runs it again')


_dispatchers = weakref.WeakKeyDictionary()
_dispatchers_lock = threading.Lock()


def _thread_dispatcher(registry):
    with _dispatchers_lock:
        dispatcher = _dispatchers.get(registry)
        if dispatcher is None:
            dispatcher = _dispatchers[registry] = ThreadDispatcher(registry)
        return dispatcher
