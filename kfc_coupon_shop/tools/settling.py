"""Settlement item by item: each item in a transaction of its own, so that one that cannot be
settled now (its row held by a request, a serialization failure, a fault) is left to the next
run without undoing the others."""
import logging

from .locking import take_if_free

_logger = logging.getLogger(__name__)


def settle_each(records, work, services):
    """Run ``work(record)`` for each of ``records`` whose row is free, committing after each;
    returns how many it answered true for."""
    env = records.env
    done = 0
    for record_id in records.ids:
        record = records.browse(record_id)
        try:
            if take_if_free(record) and work(record):
                done += 1
            services.commit(env)
        except Exception:
            _logger.warning('settling %s left to the next run', record, exc_info=True)
            services.rollback(env)
    return done
