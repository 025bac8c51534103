import os
import re
import subprocess
import sys

import pytest

EXAMPLES = os.environ.get('QUELLAR_EXAMPLES') or os.path.join(
    os.path.dirname(__file__), '..', '..', 'examples', 'python')


@pytest.mark.parametrize('script, png, pattern, low, high', [
    ('cpmg_t2.py', 'cpmg_t2.png', r'T2 = ([\d.]+) ms', 27.0, 33.0),
    ('custom_fit.py', 'custom_fit.png', r'two exponentials: A1 = ([\d.]+)', 115.0, 125.0),
    ('fid_spectrum.py', 'fid_spectrum.png', r'peak at \+([\d.]+) kHz', 2.5, 3.5),
])
def test_example_runs_headless_and_saves_its_plot(tmp_path, script, png, pattern, low, high):
    env = dict(os.environ, MPLBACKEND='Agg', PYTHONPATH=os.pathsep.join(sys.path))
    env.pop('DISPLAY', None)
    run = subprocess.run([sys.executable, os.path.join(EXAMPLES, script)], cwd=tmp_path, env=env,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert low < float(re.search(pattern, run.stdout).group(1)) < high
    with open(tmp_path / png, 'rb') as f:
        assert f.read(8) == b'\x89PNG\r\n\x1a\n'
