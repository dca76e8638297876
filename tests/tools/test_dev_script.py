"""`./dev` without a job, or asking for help, prints its usage and nothing else."""
import os
import subprocess

import pytest

DEV = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), 'dev')


def usage_lines():
    with open(DEV, encoding='utf-8') as script:
        lines = script.read().splitlines()
    return [line[2:] for line in lines[1:7]]


@pytest.mark.parametrize('args, status', [([], 2), (['--help'], 0), (['-h'], 0), (['frobnicate'], 2)])
def test_usage_only(args, status):
    done = subprocess.run([DEV, *args], capture_output=True, text=True, timeout=30)
    assert done.returncode == status
    assert done.stdout.splitlines() == usage_lines()
    assert done.stdout.startswith('Development entry point:') and done.stderr == ''
