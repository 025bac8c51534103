"""Quellar from Python: the library's objects late bound, numpy views of its arrays, events in
Python, and plots.

    import quellar
    arr = quellar.DoubleArray([1.0, 2.0, 3.0])
    arr.Mean()                    # 2.0, a call through IDispatch
    view = numpy.asarray(arr)     # the array's own storage, no copy

Objects are made by name (Controller, MathProcessor, DoubleArray, ByteArray); the controller
hands out its children through its properties. help() on a class lists its members with the
type library's help strings. A failed call raises quellar.Error; expected failures stay False.
quellar.connect(obj, sink) connects a Python event sink. quellar.plot draws measurements,
spectra and fits; quellar.sim serves a virtual analyzer for work without hardware.
"""
import atexit
import logging

from . import _quellar
from ._core import BadIndexError, Connection, Error, Object, connect, invoke
from .objects import *  # noqa: F401,F403  (the classes and enumerations of the type library)
from .objects import __all__ as _objects

__all__ = ['Error', 'BadIndexError', 'Object', 'Connection', 'connect', 'invoke'] + _objects

for _cls in (Error, BadIndexError, Object):
    _cls.__module__ = __name__

_log = logging.getLogger('quellar')


def _report(caption, message, from_handler):
    # Reports that follow an exception in a Python event handler only repeat it: it is raised
    # from the call anyway.
    _log.log(logging.DEBUG if from_handler else logging.WARNING, '%s: %s', caption,
             message.strip())


# The library's error reports go to the 'quellar' logger instead of standard error.
_quellar._set_reporter(_report)
atexit.register(_quellar._set_reporter, None)
