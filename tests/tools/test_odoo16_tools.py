"""The Odoo runner (odoo16harness.runner) without a server: finding the Odoo source, the build
digest, the config file."""
import configparser
import os
import stat
import tarfile

import pytest

from odoo16harness import runner as odoo16

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def fake_tree(folder):
    (folder / 'odoo' / 'addons').mkdir(parents=True)
    (folder / 'platform_stubs').mkdir()
    (folder / 'odoo-bin').write_text('#!/usr/bin/env python3\n')
    return folder


@pytest.fixture
def shared(tmp_path):
    """A folder as ../shared/odoo16 is: the tarball of odoo16/ and the requirements."""
    shared = tmp_path / 'shared'
    shared.mkdir()
    fake_tree(tmp_path / 'build' / 'odoo16')
    with tarfile.open(shared / 'odoo-16.0-20231208-base-web.tar.gz', 'w:gz') as tar:
        tar.add(tmp_path / 'build' / 'odoo16', arcname='odoo16')
    (shared / 'requirements-py310.txt').write_text('Werkzeug==2.0.2\n')
    return shared


def test_the_tarball_is_unpacked_once_and_again_for_another(shared, tmp_path):
    unpack = tmp_path / 'var'
    source = odoo16.odoo_source(str(shared), unpack_dir=str(unpack))
    assert source.root == str(unpack / 'odoo16')
    assert source.addons == [str(unpack / 'odoo16' / 'odoo' / 'addons'),
                             str(unpack / 'odoo16' / 'platform_stubs')]
    assert source.requirements == str(shared / 'requirements-py310.txt')
    tarball = shared / 'odoo-16.0-20231208-base-web.tar.gz'
    (unpack / 'odoo16' / 'marker').write_text('kept')
    assert odoo16.odoo_source(str(tarball), unpack_dir=str(unpack)).root == source.root
    assert (unpack / 'odoo16' / 'marker').exists()
    other = tmp_path / 'other.tar.gz'
    other.write_bytes(tarball.read_bytes())
    assert odoo16.odoo_source(str(other), unpack_dir=str(unpack)).root == source.root
    assert not (unpack / 'odoo16' / 'marker').exists()


@pytest.mark.parametrize('name', ['missing', 'empty-folder', 'not-a-tarball.tar.gz'])
def test_a_source_that_is_not_there_is_one_line_even_beside_an_unpacked_tree(shared, tmp_path, name):
    unpack = tmp_path / 'var'
    odoo16.odoo_source(str(shared), unpack_dir=str(unpack))
    (tmp_path / 'empty-folder').mkdir()
    (tmp_path / 'not-a-tarball.tar.gz').write_text('text')
    with pytest.raises(odoo16.SourceNotFound) as raised:
        odoo16.odoo_source(str(tmp_path / name), unpack_dir=str(unpack))
    message = str(raised.value)
    assert str(tmp_path / name) in message and '../shared/odoo16' in message
    assert '\n' not in message


def test_an_unpacked_tree_is_used_in_place_and_a_folder_without_odoo_is_refused(tmp_path, monkeypatch):
    tree = fake_tree(tmp_path / 'odoo16')
    monkeypatch.setenv('ODOO16_SRC', str(tree))
    assert odoo16.odoo_source().root == str(tree)
    with pytest.raises(FileNotFoundError):
        odoo16.odoo_source(str(tmp_path / 'odoo16' / 'odoo'))


def test_the_build_digest_follows_the_controllers_not_the_tests(tmp_path):
    (tmp_path / 'controllers').mkdir()
    (tmp_path / 'tests').mkdir()
    (tmp_path / 'controllers' / 'user_controller.py').write_text('class A: pass\n')
    (tmp_path / 'tests' / 'test_a.py').write_text('x = 1\n')
    first = odoo16.build_digest(str(tmp_path))
    (tmp_path / 'tests' / 'test_a.py').write_text('x = 2\n')
    assert odoo16.build_digest(str(tmp_path)) == first
    (tmp_path / 'controllers' / 'user_controller.py').write_text('class B: pass\n')
    assert odoo16.build_digest(str(tmp_path)) != first


def test_the_config_file_carries_the_cluster_the_addons_and_private_sections(tmp_path):
    source = odoo16.OdooSource(str(fake_tree(tmp_path / 'odoo16')))
    pg = odoo16.PostgresCluster(str(tmp_path / 'pg'), port=55499)
    odoo = odoo16.Odoo(source, 'python3', pg, addons=[ROOT], run_dir=str(tmp_path / 'run'),
                       http_port=18199, sections={'kfc_coupon_shop': {'wechatpay_apiv3_key': 'k' * 32}})
    parser = configparser.RawConfigParser()
    parser.read(odoo.write_config())
    options = parser['options']
    assert options['addons_path'].split(',') == source.addons + [ROOT]
    assert (options['db_host'], options['db_port']) == (pg.socket_dir, '55499')
    assert (options['http_port'], options['gevent_port']) == ('18199', '18200')
    assert options['http_interface'] == '127.0.0.1' and options['max_cron_threads'] == '0'
    assert parser['kfc_coupon_shop']['wechatpay_apiv3_key'] == 'k' * 32
    assert stat.S_IMODE(os.stat(odoo.config_file).st_mode) == 0o600
    assert odoo.command('-d', 'x')[:4] == ['python3', source.odoo_bin, '-c', odoo.config_file]
    assert odoo.command('-d', 'x', subcommand='shell')[:3] == ['python3', source.odoo_bin, 'shell']


FAILED_RUN = """\
2026-12-09 11:41:10,100 2558 INFO rw_db_2 odoo.modules.loading: loading 1 modules...
2026-12-09 11:41:10,924 2558 ERROR rw_db_2 odoo.addons.shop.tests.test_a: FAIL: TestA.test_b
Traceback (most recent call last):
AssertionError: 1 != 2
2026-12-09 11:41:11,000 2558 WARNING rw_db_2 odoo.models: something else
2026-12-09 11:41:11,871 2558 ERROR rw_db_2 odoo.tests.result: 1 failed, 0 error(s) of 9 tests when loading database 'rw_db_2'
"""


@pytest.mark.parametrize('returncode, log, summary, ok', [
    (1, FAILED_RUN, "1 failed, 0 error(s) of 9 tests when loading database 'rw_db_2'", False),
    (0, FAILED_RUN.replace('1 failed', '0 failed'),
     "0 failed, 0 error(s) of 9 tests when loading database 'rw_db_2'", True),
    (-1, FAILED_RUN.splitlines()[0], 'no test summary (exit status -1)', False),   # never ran
])
def test_a_test_run_is_judged_by_odoos_summary_and_shows_what_failed(tmp_path, returncode, log,
                                                                      summary, ok):
    (tmp_path / 'test.log').write_text(log)
    run = odoo16.OdooTestRun(returncode, str(tmp_path / 'test.log'))
    assert run.ok is ok
    assert run.summary == summary
    if 'FAIL:' in log:
        assert run.problems().splitlines()[:3] == FAILED_RUN.splitlines()[1:4]
        assert 'something else' not in run.problems()
