"""The library's classes, made from the type library description generated from Quellar.idl.

Each interface becomes a class (IController, ...) whose members call the object late bound:
the member's DISPID comes from IDispatch.GetIDsOfNames on first use, the call goes through
Invoke. Each class of the library (Controller, ...) derives from its default interface's
class. Properties without arguments are Python properties; methods and properties with
arguments are methods; the default member (Item) also answers obj[i], obj[i] = v and obj(i).
[out] parameters come back after the result, as a tuple.
"""
import inspect
from enum import IntEnum

import numpy

from . import _quellar
from ._core import Object
from ._typelib import LIBRARY

_METHOD = _quellar.DISPATCH_METHOD
_GET = _quellar.DISPATCH_PROPERTYGET
_PUT = _quellar.DISPATCH_PROPERTYPUT

# Array members work in memory and keep the interpreter; every other method may wait on the
# analyzer or run a fit, and lets other Python threads run meanwhile.
_IN_MEMORY = {'IDoubleArray', 'IByteArray'}

_CLASS_OF = {c['interface']: c['name'] for c in LIBRARY['classes']}
_SCALARS = {'long': int, 'double': float, 'VARIANT_BOOL': bool, 'BSTR': str,
            'unsigned char': int, 'void': None}


def _annotation(type_name):
    if type_name in _SCALARS:
        return _SCALARS[type_name]
    return _CLASS_OF.get(type_name, 'Any')


def _result_annotation(member):
    result = _annotation(member['result'])
    outs = [_annotation(p[1]) for p in member['params'] if p[2] == 'out']
    if not outs:
        return result
    names = [getattr(t, '__name__', str(t)) for t in [result] + outs]
    return 'tuple[%s]' % ', '.join(names)


class _Dispid:
    """A member's DISPID, asked of the object on first use (the same for the interface)."""

    __slots__ = ('name', 'value')

    def __init__(self, name):
        self.name, self.value = name, None

    def of(self, obj):
        if self.value is None:
            self.value = obj._ids([self.name])[0]
        return self.value


def _signature(ins, result):
    params = [inspect.Parameter('self', inspect.Parameter.POSITIONAL_OR_KEYWORD)]
    params += [inspect.Parameter(p[0], inspect.Parameter.POSITIONAL_OR_KEYWORD,
                                 annotation=_annotation(p[1])) for p in ins]
    return inspect.Signature(params, return_annotation=result)


def _method(member, flags, release):
    dispid = _Dispid(member['name'])
    params = member['params']
    ins = [p for p in params if p[2] == 'in']
    outs = sum(1 << i for i, p in enumerate(params) if p[2] == 'out')
    sig = _signature(ins, _result_annotation(member))
    count = len(ins)

    def call(self, *args, **kwargs):
        if kwargs or len(args) != count:
            bound = sig.bind(self, *args, **kwargs)  # the parameter names of the type library
            args = bound.args[1:]
        if outs:
            it = iter(args)
            args = tuple(None if p[2] == 'out' else next(it) for p in params)
        return self._invoke(dispid.of(self), flags, args, (), outs, release)

    call.__name__ = call.__qualname__ = member['name']
    call.__signature__ = sig
    call.__doc__ = member['help']
    return call


def _property(get, put):
    dispid = _Dispid(get['name'])
    fset = None
    if put is not None:
        def fset(self, value):
            self._invoke(dispid.of(self), _PUT, (value,))
    type_name = getattr(_annotation(get['result']), '__name__', get['result'])
    doc = '%s (%s%s)' % (get['help'], type_name, '' if put else ', read-only')
    native_get = _quellar.Dispatch._get

    def fget(self):
        value = dispid.value
        return native_get(self, dispid.of(self) if value is None else value)
    return property(fget, fset, doc=doc)


def _default_members(get, put):
    """obj[i], obj[i] = v, obj(i), len(obj) and iteration for an object with a default member
    that takes an index, and a Count."""
    dispid = _Dispid(get['name'])
    invoke = _quellar.Dispatch._invoke

    def getitem(self, index):
        value = dispid.value
        return invoke(self, dispid.of(self) if value is None else value, _GET, (index,))

    def setitem(self, index, item):
        value = dispid.value
        invoke(self, dispid.of(self) if value is None else value, _PUT, (index, item))

    members = {'__getitem__': getitem,
               '__call__': _method(get, _METHOD | _GET, False),
               '__len__': lambda self: self.Count,
               '__iter__': lambda self: (self[i] for i in range(len(self)))}
    if put is not None:
        members['__setitem__'] = setitem
    return members


def _interface_class(name, desc):
    members = {'__slots__': (), '__doc__': desc['help'], '_release': name not in _IN_MEMORY}
    by_name = {}
    for m in desc['members']:
        by_name.setdefault(m['name'], {})[m['kind']] = m
    for member_name, kinds in by_name.items():
        get, put, method = kinds.get('get'), kinds.get('put'), kinds.get('method')
        if method is not None:
            members[member_name] = _method(method, _METHOD, members['_release'])
        elif get is not None and not get['params']:
            members[member_name] = _property(get, put)
        elif get is not None:
            members[member_name] = _method(get, _GET, False)
            if get['id'] == 0:
                members.update(_default_members(get, put))
    members['_lower'] = {n.lower(): n for n in by_name}
    return type(name, (Object,), members)


_interfaces = {name: _interface_class(name, desc)
               for name, desc in LIBRARY['interfaces'].items() if not desc['dispinterface']}
IDoubleArray = _interfaces['IDoubleArray']
IByteArray = _interfaces['IByteArray']


def _refuse_while_viewed(array):
    if array._exports:
        raise BufferError('numpy views of this DoubleArray exist; resizing would leave them '
                          'pointing at freed storage')


class DoubleArray(IDoubleArray):
    """An array of doubles. numpy.asarray(arr) is a view of its storage, without copying, valid
    while the array lives and its Count stays; DoubleArray(data) makes one from numpy data or a
    sequence."""

    __slots__ = ()
    _progid = 'Quellar.DoubleArray'

    def __init__(self, data=None):
        if isinstance(data, _quellar.Handle):
            super().__init__(data)
            return
        super().__init__()
        if data is not None:
            values = numpy.asarray(data, dtype=numpy.float64)
            if values.ndim > 1:
                raise ValueError('a DoubleArray has one dimension, not %d' % values.ndim)
            self.Count = values.size
            numpy.asarray(self)[:] = values.ravel()

    def __repr__(self):
        return 'DoubleArray(%r)' % numpy.asarray(self).tolist()

    def __iter__(self):
        return iter(numpy.asarray(self).tolist())

    def _set_count(self, value):
        _refuse_while_viewed(self)
        IDoubleArray.Count.fset(self, value)

    def _set_variant(self, value):
        _refuse_while_viewed(self)
        IDoubleArray.AsVariant.fset(self, numpy.asarray(value, dtype=numpy.float64))

    Count = property(IDoubleArray.Count.fget, _set_count, doc=IDoubleArray.Count.__doc__)
    AsVariant = property(IDoubleArray.AsVariant.fget, _set_variant,
                         doc=IDoubleArray.AsVariant.__doc__)

    def CopyFrom(self, Reference):
        _refuse_while_viewed(self)
        IDoubleArray.CopyFrom(self, Reference)
    CopyFrom.__doc__ = IDoubleArray.CopyFrom.__doc__
    CopyFrom.__signature__ = IDoubleArray.CopyFrom.__signature__


class ByteArray(IByteArray):
    """An array of bytes. numpy.asarray(arr) is a copy (uint8); ByteArray(data) makes one from
    bytes, numpy data or a sequence."""

    __slots__ = ()
    _progid = 'Quellar.ByteArray'

    def __init__(self, data=None):
        if isinstance(data, _quellar.Handle):
            super().__init__(data)
            return
        super().__init__()
        if data is not None:
            self.AsVariant = data

    def __array__(self, dtype=None):
        values = IByteArray.AsVariant.fget(self)
        return values if dtype is None else values.astype(dtype)

    def __bytes__(self):
        return numpy.asarray(self).tobytes()

    @property
    def AsVariant(self):
        """Items as a variant array (a numpy copy)"""
        return IByteArray.AsVariant.fget(self)

    @AsVariant.setter
    def AsVariant(self, value):
        if isinstance(value, (bytes, bytearray)):
            value = numpy.frombuffer(value, dtype=numpy.uint8)
        IByteArray.AsVariant.fset(self, numpy.asarray(value).astype(numpy.uint8, casting='safe'))


_written = {'DoubleArray': DoubleArray, 'ByteArray': ByteArray}
_classes = {}
for _c in LIBRARY['classes']:
    _cls = _written.get(_c['name'])
    if _cls is None:
        _cls = type(_c['name'], (_interfaces[_c['interface']],),
                    {'__slots__': (), '__doc__': _c['help'], '_progid': 'Quellar.' + _c['name']})
    if _c['source']:
        _events = LIBRARY['interfaces'][_c['source']]
        _cls._source = (_events['iid'], [(m['id'], m['name'], m['result'] != 'void')
                                         for m in _events['members']])
    _cls.__module__ = 'quellar'
    _classes[_c['name']] = _cls
    _quellar._register(LIBRARY['interfaces'][_c['interface']]['iid'], _cls)
for _cls in _interfaces.values():
    _cls.__module__ = 'quellar'
_quellar._register('00020400-0000-0000-C000-000000000046', Object)  # any other object

globals().update(_interfaces)
globals().update(_classes)

__all__ = list(_classes) + list(_interfaces)
for _e in LIBRARY['enums']:
    _enum = IntEnum(_e['name'], _e['members'], module=__name__)
    globals()[_e['name']] = _enum
    globals().update(_enum.__members__)
    __all__ += [_e['name']] + list(_enum.__members__)
