"""`./dev` without a job, or asking for help, prints its usage and nothing else; an unknown job
says so."""
import os
import re
import subprocess

import pytest

DEV = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), 'dev')


def usage_lines():
    """The comment block at the head of the script, after the shebang."""
    with open(DEV, encoding='utf-8') as script:
        lines = script.read().splitlines()[1:]
    return [line[2:] for line in lines[:[line.startswith('#') for line in lines].index(False)]]


@pytest.mark.parametrize('args, status, error', [
    ([], 2, ''), (['--help'], 0, ''), (['-h'], 0, ''),
    (['frobnicate'], 2, "./dev: unknown job 'frobnicate'\n")])
def test_usage_only(args, status, error):
    done = subprocess.run([DEV, *args], capture_output=True, text=True, timeout=30)
    assert (done.returncode, done.stderr) == (status, error)
    assert done.stdout.splitlines() == usage_lines()
    listed = [line.split()[1] for line in usage_lines() if line.startswith('  ./dev ')]
    assert sorted(listed) == sorted(jobs())


def jobs():
    """The jobs of the script's case statement, in their order."""
    with open(DEV, encoding='utf-8') as script:
        return re.findall(r'^    ([a-z][a-z-]*)\)', script.read(), flags=re.M)
