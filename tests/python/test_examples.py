import os
import pathlib
import re
import subprocess
import sys

import pytest

EXAMPLES = os.environ.get('QUELLAR_EXAMPLES', pathlib.Path(__file__).parents[2] / 'examples/python')


@pytest.mark.parametrize('script, pattern, low, high', [
    ('cpmg_t2', r'T2 = ([\d.]+) ms', 27.0, 33.0),
    ('custom_fit', r'two exponentials: A1 = ([\d.]+)', 115.0, 125.0),
    ('fid_spectrum', r'peak at \+([\d.]+) kHz', 2.5, 3.5),
])
def test_example_runs_headless_and_saves_its_plot(tmp_path, script, pattern, low, high):
    env = dict(os.environ, MPLBACKEND='Agg', PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, os.path.join(EXAMPLES, script + '.py')], cwd=tmp_path,
                         env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert low < float(re.search(pattern, run.stdout).group(1)) < high
    assert (tmp_path / (script + '.png')).read_bytes()[:8] == b'\x89PNG\r\n\x1a\n'
