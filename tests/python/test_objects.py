import inspect

import numpy
import pytest

import quellar

DISP_E_TYPEMISMATCH = 0x80020005
REGDB_E_CLASSNOTREG = 0x80040154


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


def test_failures_raise_error_with_status_description_and_source():
    arr = quellar.DoubleArray([1.0, 2.0, 3.0])
    with pytest.raises(IndexError) as bad:
        arr[10]
    assert isinstance(bad.value, quellar.Error)
    assert (bad.value.status, bad.value.description, bad.value.source) == (
        0x8002000B, 'Index 10 is outside the array of 3 items', 'Quellar.DoubleArray')
    with pytest.raises(quellar.Error) as mismatch:
        arr.CopyFrom('not an array')
    assert mismatch.value.status == DISP_E_TYPEMISMATCH
    with pytest.raises(quellar.Error) as internal:
        quellar.Compiler()
    assert internal.value.status == REGDB_E_CLASSNOTREG
    # An expected failure is a False result, not an error.
    short = quellar.DoubleArray([1.0])
    assert quellar.MathProcessor().RegressionLinear(arr, short, quellar.DoubleArray()) is False


def test_help_and_stub_come_from_the_type_library():
    execute = quellar.Analysis.Execute
    assert execute.__doc__ == 'Execute analysis'
    assert list(inspect.signature(execute).parameters) == ['self', 'TimeOut', 'Pause', 'Runs',
                                                           'PhaseCorrection']
    assert 'Execute' in dir(quellar.Analysis) and 'Durations' in dir(quellar.Tuning)
    durations = inspect.signature(quellar.Tuning.Durations)
    assert durations.return_annotation == 'tuple[bool, float, float]'
    stub = (inspect.getfile(quellar).rsplit('/', 1)[0]) + '/objects.pyi'
    with open(stub) as f:
        text = f.read()
    assert ('    def Execute(self, TimeOut: int, Pause: int, Runs: int, PhaseCorrection: float)'
            ' -> bool:') in text


def test_text_travels_as_utf16_and_integers_are_range_checked(tmp_path):
    controller = quellar.Controller()
    compiler = controller.Compiler
    compiler.AddImpulse(3300, quellar.IMPULSE_PHASE_0, 8000)
    path = tmp_path / 'программа é.bin'
    compiler.Save(str(path))
    assert path.stat().st_size > 0
    with pytest.raises(quellar.Error) as overflow:
        quellar.DoubleArray().Count = 2 ** 31
    assert overflow.value.status == 0x8002000A  # DISP_E_OVERFLOW
