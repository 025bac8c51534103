"""The base of every library object, the error type, events and late-bound calls by name."""
from . import _quellar
from ._quellar import Connection, Dispatch, Handle

DISP_E_BADINDEX = 0x8002000B


class Error(Exception):
    """A library call failed.

    status is the failure code (an HRESULT, as an unsigned number), description the library's
    message and source the object that raised it (for example 'Quellar.DoubleArray').
    """

    def __init__(self, status, description='', source=''):
        super().__init__(status, description, source)
        self.status = status
        self.description = description
        self.source = source

    def __str__(self):
        where = ', ' + self.source if self.source else ''
        return '%s [0x%08X%s]' % (self.description or 'failed', self.status, where)


class BadIndexError(Error, IndexError):
    """An index outside an array or a sample list (also an IndexError, so loops end on it)."""


def _make_error(status, description, source):
    cls = BadIndexError if status == DISP_E_BADINDEX else Error
    return cls(status, description, source)


_quellar._set_error_factory(_make_error)

_KINDS = {'call': _quellar.DISPATCH_METHOD | _quellar.DISPATCH_PROPERTYGET,
          'get': _quellar.DISPATCH_PROPERTYGET, 'put': _quellar.DISPATCH_PROPERTYPUT}


class Object(Dispatch):
    """An object of the library. Its members are reached late bound, through IDispatch."""

    __slots__ = ()
    _progid = None  # the programmatic identifier that creates it, when clients may
    _lower = {}     # member names by their lower-case spelling
    _source = None  # the interface of its events, when it raises any
    _release = False  # whether its methods let other threads run while they work

    def __init__(self, _source=None):
        if _source is None:
            if self._progid is None:
                raise TypeError('%s objects come from other objects' % type(self).__name__)
            _source = self._progid
        elif not isinstance(_source, (Handle, Dispatch)):
            raise TypeError('%s() takes no arguments' % type(self).__name__)
        Dispatch.__init__(self, _source)

    def __eq__(self, other):
        return isinstance(other, Dispatch) and self._identity() == other._identity()

    def __hash__(self):
        return hash(self._identity())

    # Names are case-insensitive, as in every automation client.
    def __getattr__(self, name):
        canonical = type(self)._lower.get(name.lower())
        if canonical is not None and canonical != name:
            return getattr(self, canonical)
        if name.startswith('_'):
            raise AttributeError(name)
        try:
            self._ids([name])
        except Error:
            raise AttributeError('%s has no member %s' % (type(self).__name__, name)) from None
        return _LateMember(self, name)

    def __setattr__(self, name, value):
        canonical = type(self)._lower.get(name.lower(), name)
        object.__setattr__(self, canonical, value)


class _LateMember:
    """A member the type library does not list, found by name when it is called."""

    __slots__ = ('_object', '_name')

    def __init__(self, obj, name):
        self._object, self._name = obj, name

    def __call__(self, *args, **named):
        return invoke(self._object, self._name, *args, **named)


def invoke(obj, name, *args, kind='call', **named):
    """Calls member `name` of obj late bound: the name and any named arguments go through
    IDispatch.GetIDsOfNames, the call through Invoke. kind is 'call' (a method, or a property
    read), 'get' or 'put' (the new value last in args)."""
    try:
        flags = _KINDS[kind]
    except KeyError:
        raise ValueError("kind is 'call', 'get' or 'put'") from None
    ids = obj._ids([name] + list(named))
    try:
        return obj._invoke(ids[0], flags, tuple(args) + tuple(named.values()), tuple(ids[1:]),
                           0, type(obj)._release)
    except Error as e:
        if e.status == 0x80020003 and not named and not args:  # DISP_E_MEMBERNOTFOUND
            raise AttributeError(name) from e
        raise


def connect(obj, sink):
    """Connects sink to obj's events and returns the Connection (.disconnect(); usable in a
    with block, which disconnects at its end).

    sink is an object with methods named after the events, for example
    GetExpressionValue(x, coeffs, derivs), or, for an object with one event, a plain callable.
    An exception raised in the sink ends the library's call that fired the event and is raised
    again from that call. Until it is disconnected the object keeps the sink alive.
    """
    source = type(obj)._source
    if source is None:
        raise TypeError('%s raises no events' % type(obj).__name__)
    iid, events = source
    names = {dispid: (name, returns) for dispid, name, returns in events}
    if any(callable(getattr(sink, name, None)) for name, _ in names.values()):
        single = False
    elif callable(sink) and len(names) == 1:
        single = True
    else:
        raise TypeError('the sink needs a method named %s%s' % (
            ' or '.join(name for name, _ in names.values()),
            ', or to be a callable' if len(names) == 1 else ''))
    return _quellar._connect(obj, iid, sink, single, names)


__all__ = ['Error', 'BadIndexError', 'Object', 'Connection', 'connect', 'invoke']
