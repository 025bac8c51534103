import gc

import numpy
import pytest

import quellar


def test_calls_properties_and_default_member_round_trip():
    arr = quellar.DoubleArray()
    arr.count = 3  # names are case-insensitive, as in any automation client
    arr[0], arr[1] = 1.5, 4.5
    # Item, a property with an argument, reads as a method.
    assert (arr.Count, arr(1), arr[2], arr.Item(0), arr.Mean(), arr.MaxIndex()) == (
        3, 4.5, 0.0, 1.5, 2.0, 1)
    controller = quellar.Controller()
    assert controller.Active is False and isinstance(controller.Compiler, quellar.Compiler)
    assert controller.Compiler == controller.Compiler  # the same child every time


def test_arguments_by_name_and_safe_arrays_as_numpy():
    compiler = quellar.Controller().Compiler
    compiler.AddImpulse(Silence=8000, Phase=quellar.IMPULSE_PHASE_90, Duration=3300)
    quellar.invoke(compiler, 'AddReading', Interval=1000, Duration=20000)  # via GetIDsOfNames
    saved = quellar.ByteArray()
    compiler.SaveToByteArray(saved)  # compiles, and so sets the time marks
    marks = compiler.TimeMarks
    assert isinstance(marks, numpy.ndarray) and marks.dtype == numpy.float64
    assert marks.size == 20 and numpy.allclose(numpy.diff(marks), 1000)
    code = bytes(saved)
    assert code[-1] == 0xFF and quellar.ByteArray(code).Count == len(code)


def test_failures_raise_error_with_status_description_and_source(tmp_path):
    arr = quellar.DoubleArray([1.0, 2.0, 3.0])
    with pytest.raises(IndexError) as bad:
        arr[10]
    assert isinstance(bad.value, quellar.Error)
    assert (bad.value.status, bad.value.description, bad.value.source) == (
        0x8002000B, 'Index 10 is outside the array of 3 items', 'Quellar.DoubleArray')
    for call, status in [(lambda: arr.CopyFrom('not an array'), 0x80020005),  # type mismatch
                         (quellar.Compiler, 0x80040154),  # class not registered
                         (lambda: setattr(arr, 'Count', 2 ** 31), 0x8002000A)]:  # overflow
        with pytest.raises(quellar.Error) as error:
            call()
        assert error.value.status == status
    # Text travels as UTF-16.
    compiler = quellar.Controller().Compiler
    compiler.AddImpulse(3300, quellar.IMPULSE_PHASE_0, 8000)
    compiler.Save(str(tmp_path / 'программа é.bin'))
    assert (tmp_path / 'программа é.bin').stat().st_size > 0


def test_view_shares_the_storage_both_ways_and_keeps_the_array_alive():
    arr = quellar.DoubleArray([1.0, 2.0, 3.0])
    view = numpy.asarray(arr)
    view[0] = 10.0
    arr[1] = 20.0
    assert view.dtype == numpy.float64 and arr[0] == 10.0 and view[1] == 20.0
    del view
    assert arr._exports == 0
    source = numpy.arange(3.0)
    view = numpy.asarray(quellar.DoubleArray(source))  # made by copy, kept alive by the view
    source[0] = 5.0
    gc.collect()
    assert view.tolist() == [0.0, 1.0, 2.0]
    with pytest.raises(ValueError):
        quellar.DoubleArray(numpy.zeros((2, 2)))


def test_a_viewed_array_is_not_moved_unnoticed():
    arr = quellar.DoubleArray([1.0])
    view = numpy.asarray(arr)
    with pytest.raises(BufferError):
        arr.Count = 1000
    # The library resizes an output array itself: the call reports the moved storage.
    x = quellar.DoubleArray([0.0, 1.0, 2.0])
    with pytest.raises(BufferError):
        quellar.MathProcessor().RegressionLinear(x, quellar.DoubleArray([1.0, 3.0, 5.0]), arr)
    del view
    assert list(arr) == [1.0, 2.0]
