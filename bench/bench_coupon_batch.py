"""Seconds to issue a batch of coupons on Odoo 16 with PostgreSQL 15, through the wizard as a
manager calls it (JSON-RPC to a server with 2 workers, so Odoo's limit_time_cpu of 60 s holds),
for 1,000, 10,000 and 100,000 coupons measured in this run. Goal: 100,000 coupons within 60 s,
their codes unique in their folded form.

    ODOO16_SRC=../shared/odoo16 python bench/bench_coupon_batch.py [--counts 1000,10000,100000]
"""
import argparse
import os
import tempfile
import time

from kfchost import addon

addon.import_addon()    # the stand-in answers the add-on's imports from odoo
from kfcsandbox.config import SandboxConfig  # noqa: E402
from kfcsandbox.server import SandboxServer  # noqa: E402
from odoo.addons.kfc_coupon_shop.services.deployment import read_deployment  # noqa: E402
from odoo16harness.platform import Odoo16Platform  # noqa: E402
from odoo16harness.rpc import Connection  # noqa: E402

GOAL_SECONDS = 60
ADDON = 'kfc_coupon_shop'


def issue(connection, dish_id, count):
    """Seconds for the wizard to issue ``count`` coupons; the batch's id."""
    [wizard] = connection.execute('kfc.coupon.batch.issue', 'create', [{
        'name': 'bench %d' % count, 'product_id': dish_id, 'count': count}])
    start = time.perf_counter()
    action = connection.execute('kfc.coupon.batch.issue', 'action_issue', [wizard])
    return time.perf_counter() - start, action['res_id']


def distinct_keys(connection, batch_id):
    groups = connection.execute('kfc.coupon', 'read_group', [('batch_id', '=', batch_id)],
                                ['code_key'], ['code_key'], lazy=True)
    return len(groups)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--counts', default='1000,10000,100000')
    args = parser.parse_args(argv)
    if not os.environ.get('ODOO16_SRC'):
        print('bench_coupon_batch: skipped, set ODOO16_SRC (an Odoo 16 tree or its tarball)')
        return 0
    counts = [int(count) for count in args.counts.split(',')]
    work = tempfile.mkdtemp(prefix='rw-bench-batch-')
    odoo = Odoo16Platform.prepare().start()
    try:
        with SandboxServer(SandboxConfig.from_deployment(read_deployment())) as sandbox:
            database = odoo.database(odoo.template([ADDON]))
            sections = lambda url: {ADDON: sandbox.config.addon_section(work, url, sandbox.url)}  # noqa: E731
            with odoo.server(database, workers=2, sections=sections) as server:
                connection = Connection(server.url, database)
                manager = connection.execute('ir.model.data', 'check_object_reference',
                                             ADDON, 'group_kfc_manager')[1]
                connection.execute('res.users', 'write', [connection.uid],
                                   {'groups_id': [(4, manager)]})
                [dish_id] = connection.execute('kfc.product', 'create', [{
                    'name': 'bench dish', 'link_id': 'B-1', 'unit_price': 10}])
                results = []
                for count in counts:
                    seconds, batch_id = issue(connection, dish_id, count)
                    results.append((count, seconds, distinct_keys(connection, batch_id)))
    finally:
        odoo.stop()
    base_count, base_seconds, _ = results[0]
    print('%10s %10s %14s %16s' % ('coupons', 'seconds', 'per 1,000 (s)', 'x first batch'))
    for count, seconds, keys in results:
        print('%10d %10.2f %14.3f %16.2f' % (count, seconds, seconds / count * 1000,
                                            seconds / base_seconds))
        assert keys == count, 'codes not unique: %d folded codes for %d coupons' % (keys, count)
    largest = results[-1]
    print('goal: %d coupons within %d s: %.2f s (%.0f%% of the limit) %s' % (
        largest[0], GOAL_SECONDS, largest[1], 100 * largest[1] / GOAL_SECONDS,
        'met' if largest[1] <= GOAL_SECONDS else 'MISSED'))
    return 0 if largest[1] <= GOAL_SECONDS else 1


if __name__ == '__main__':
    raise SystemExit(main())
