import numpy
import pytest

import quellar


def test_calls_properties_and_default_member_round_trip():
    arr = quellar.DoubleArray()
    arr.Count = 3
    arr[0], arr[1] = 1.5, 4.5
    arr.Item(2)  # a property with an argument reads as a method
    assert (arr.Count, arr(1), arr[2], arr.Mean(), arr.MaxIndex()) == (3, 4.5, 0.0, 2.0, 1)
    assert arr.count == 3  # names are case-insensitive, as in any automation client
    controller = quellar.Controller()
    assert controller.Active is False
    assert isinstance(controller.Compiler, quellar.Compiler)
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
    # An expected failure is a False result, not an error.
    short = quellar.DoubleArray([1.0])
    assert quellar.MathProcessor().RegressionLinear(arr, short, quellar.DoubleArray()) is False
    # Text travels as UTF-16.
    compiler = quellar.Controller().Compiler
    compiler.AddImpulse(3300, quellar.IMPULSE_PHASE_0, 8000)
    compiler.Save(str(tmp_path / 'программа é.bin'))
    assert (tmp_path / 'программа é.bin').stat().st_size > 0
