import gc

import numpy
import pytest

import quellar


def test_view_shares_the_storage_both_ways_and_keeps_the_array_alive():
    arr = quellar.DoubleArray([1.0, 2.0, 3.0])
    view = numpy.asarray(arr)
    assert view.dtype == numpy.float64
    view[0] = 10.0
    arr[1] = 20.0
    assert arr[0] == 10.0 and view[1] == 20.0 and arr.Sum() == 33.0
    del view
    assert arr._exports == 0
    view = numpy.asarray(quellar.DoubleArray(numpy.arange(3.0)))
    gc.collect()
    assert view.tolist() == [0.0, 1.0, 2.0]


def test_made_from_numpy_by_copy():
    source = numpy.linspace(0.0, 1.0, 11)
    arr = quellar.DoubleArray(source)
    source[0] = 5.0
    assert arr.Count == 11 and arr.AsVariant.tolist() == numpy.linspace(0.0, 1.0, 11).tolist()
    with pytest.raises(ValueError):
        quellar.DoubleArray(numpy.zeros((2, 2)))


def test_a_viewed_array_is_not_moved_unnoticed():
    arr = quellar.DoubleArray([1.0])
    view = numpy.asarray(arr)
    with pytest.raises(BufferError):
        arr.Count = 1000
    assert arr.Count == 1
    # The library resizes an output array itself: the call reports the moved storage.
    x = quellar.DoubleArray([0.0, 1.0, 2.0])
    with pytest.raises(BufferError):
        quellar.MathProcessor().RegressionLinear(x, quellar.DoubleArray([1.0, 3.0, 5.0]), arr)
    del view
    assert list(arr) == [1.0, 2.0]
