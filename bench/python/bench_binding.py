#!/usr/bin/env python3
"""Measures the Python binding: a property read late bound (through IDispatch) against the same
read early bound from a plain pybind11 method, and RegressionCustom with a Python model on
1,000 points in events per second.

    cmake --build --preset default --target quellar_python quellar_python_bench
    PYTHONPATH=build/default/python:build/default/bench/python /usr/bin/python3 \\
        bench/python/bench_binding.py
"""
import math
import time
import timeit

import numpy

import _quellar_bench
import quellar

POINTS = 1000


def per_call_ns(statement, number=200_000, repeat=5, **names):
    times = timeit.repeat(statement, globals=names, number=number, repeat=repeat)
    return min(times) / number * 1e9


def property_read():
    arr = quellar.DoubleArray(numpy.zeros(10))
    early = _quellar_bench.EarlyArray(arr)
    dispid = arr._ids(['Count'])[0]
    rows = [
        ('arr.Count (late bound: property, Invoke, conversion)', per_call_ns('arr.Count', arr=arr)),
        ('arr._get(dispid) (the native call alone)', per_call_ns('get(d)', get=arr._get, d=dispid)),
        ('early.Count (plain pybind11, vtable call)', per_call_ns('early.Count', early=early)),
        ('noop() (plain pybind11, no work)', per_call_ns('f()', f=_quellar_bench.noop)),
        ('IDispatch::Invoke in C++ (no Python)', min(early.invoke_ns(1_000_000) for _ in range(5))),
    ]
    print('Property read, ns per call (best of 5):')
    for name, ns in rows:
        print('  %-55s %7.0f' % (name, ns))


EVENTS = [0]


def line(x, coeffs, derivs):
    EVENTS[0] += 1
    derivs[0], derivs[1] = 1.0, x
    return coeffs[0] + coeffs[1] * x


def views(x, coeffs, derivs):
    EVENTS[0] += 1
    c, d = numpy.asarray(coeffs), numpy.asarray(derivs)
    d[0], d[1] = 1.0, x
    return c[0] + c[1] * x


class KeptViews:
    """Keeps numpy views of the event's arrays: the library passes the same two every time."""

    def __init__(self):
        self.coeffs = None

    def __call__(self, x, coeffs, derivs):
        EVENTS[0] += 1
        if coeffs is not self.coeffs:
            self.coeffs, self.c, self.d = coeffs, numpy.asarray(coeffs), numpy.asarray(derivs)
        self.d[0], self.d[1] = 1.0, x
        return float(self.c[0] + self.c[1] * x)


def custom_fit():
    xs = numpy.linspace(0.0, 10.0, POINTS)
    x, y = quellar.DoubleArray(xs), quellar.DoubleArray(1.0 + 2.0 * xs)
    lo, hi = quellar.DoubleArray([-10.0, -10.0]), quellar.DoubleArray([10.0, 10.0])
    math_processor = quellar.MathProcessor()
    print('RegressionCustom, y = a + b·x on %d points (Marquardt), best of 3:' % POINTS)
    for name, model in [('items: coeffs[i], derivs[i] = ... (late bound)', line),
                        ('numpy views made in every event', views),
                        ('numpy views kept by the model', KeptViews())]:
        best = math.inf
        for _ in range(3):
            EVENTS[0] = 0
            coeffs = quellar.DoubleArray([0.5, 0.5])
            with quellar.connect(math_processor, model):
                start = time.perf_counter()
                ok = math_processor.RegressionCustom(x, y, 0, 2, lo, hi, coeffs)
                best = min(best, time.perf_counter() - start)
            assert ok and abs(coeffs[0] - 1) < 1e-6 and abs(coeffs[1] - 2) < 1e-6
        print('  %-47s %6d events, %7.0f events/s, %5.2f us/event' % (
            name, EVENTS[0], EVENTS[0] / best, best / EVENTS[0] * 1e6))


if __name__ == '__main__':
    property_read()
    custom_fit()
