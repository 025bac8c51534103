import math
import threading
import time

import numpy
import pytest

import quellar
import quellar.sim

X = numpy.linspace(0.0, 10.0, 200)
Y = 3.0 * numpy.exp(-0.7 * X) + 0.5


def model(x, coeffs, derivs):
    a, b, c = coeffs[0], coeffs[1], coeffs[2]
    e = math.exp(-b * x)
    derivs[0], derivs[1], derivs[2] = e, -a * x * e, 1.0
    return a * e + c


class ViewSink:  # works on numpy views; a callable sink is custom_fit.py's (test_examples.py)
    def GetExpressionValue(self, x, coeffs, derivs):
        return model(x, numpy.asarray(coeffs), numpy.asarray(derivs))


def fit(math_processor, coeffs):
    return math_processor.RegressionCustom(
        quellar.DoubleArray(X), quellar.DoubleArray(Y), quellar.REGRESSION_MARQUARDT, 3,
        quellar.DoubleArray([0.0, 0.0, -5.0]), quellar.DoubleArray([10.0, 10.0, 5.0]), coeffs)


def test_custom_fit_recovers_known_coefficients():
    math_processor = quellar.MathProcessor()
    coeffs = quellar.DoubleArray([1.0, 1.0, 0.0])
    with quellar.connect(math_processor, ViewSink()) as connection:
        assert fit(math_processor, coeffs) is True
        with pytest.raises(quellar.Error):
            quellar.connect(math_processor, model)  # one sink at a time
    assert not connection.connected
    assert numpy.allclose(numpy.asarray(coeffs), [3.0, 0.7, 0.5], rtol=1e-3)
    assert fit(math_processor, coeffs) is False  # no sink connected any more


def test_exception_in_the_sink_ends_the_fit_and_is_raised():
    calls = []

    def failing(x, coeffs, derivs):
        calls.append(x)
        if len(calls) == 50:
            raise KeyError('from the model')
        return model(x, coeffs, derivs)

    math_processor = quellar.MathProcessor()
    with quellar.connect(math_processor, failing), pytest.raises(KeyError, match='from the model'):
        fit(math_processor, quellar.DoubleArray([1.0, 1.0, 0.0]))
    assert len(calls) == 50
    with pytest.raises(TypeError):
        quellar.connect(quellar.DoubleArray(), model)  # no events


def test_long_calls_let_other_threads_run():
    ticks, stop = [], threading.Event()

    def count():
        while not stop.wait(0.001):
            ticks.append(time.monotonic())

    counter = threading.Thread(target=count)
    with quellar.sim.VirtualAnalyzer() as analyzer:
        controller = quellar.Controller()
        assert controller.Open(analyzer.port)
        controller.Compiler.AddImpulse(3300, 0, 8000)
        controller.Compiler.AddReading(20000, 1000)
        assert controller.Compiler.Send()
        counter.start()
        start = time.monotonic()
        assert controller.Analysis.Execute(5000, 300, 1, 0.0) is True  # waits 300 ms after the run
        end = time.monotonic()
        stop.set()
        counter.join()
        controller.Close()
    # Holding the GIL, the call would let the counter run only once it had returned.
    assert any(start < t < end - 0.1 for t in ticks)
