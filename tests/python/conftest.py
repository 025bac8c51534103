import os
import pathlib
import sys

# Run by hand from the checkout, the package comes from the default build.
if not os.environ.get('PYTHONPATH'):
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / 'build/default/python'))
