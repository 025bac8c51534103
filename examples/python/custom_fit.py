#!/usr/bin/env python3
"""Fits a two-exponential decay with a model written in Python, and compares it with the
library's one-exponential fit; saves custom_fit.png into the current folder.

The data are a relaxation curve of two components (fast and slow) with noise. The library
searches for the coefficients of y = A1·exp(-R1·x) + A2·exp(-R2·x) within bounds, and asks
Python for the model's value and derivatives in its GetExpressionValue event.

    PYTHONPATH=build/default/python /usr/bin/python3 examples/python/custom_fit.py
"""
import argparse
import math

import numpy

import quellar
import quellar.plot

TRUE = (120.0, 0.25, 60.0, 0.025)  # A1, R1 (1/ms), A2, R2 (1/ms)


def two_exponentials(x, coeffs, derivs):
    """The event handler: the value at x for the current coefficients, and dy/dcoeffs."""
    a1, r1, a2, r2 = coeffs[0], coeffs[1], coeffs[2], coeffs[3]
    e1, e2 = math.exp(-r1 * x), math.exp(-r2 * x)
    derivs[0], derivs[1] = e1, -a1 * x * e1
    derivs[2], derivs[3] = e2, -a2 * x * e2
    return a1 * e1 + a2 * e2


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--output', default='custom_fit.png')
    args = parser.parse_args()

    rng = numpy.random.default_rng(7)
    x = numpy.linspace(0.0, 120.0, 241)  # ms
    a1, r1, a2, r2 = TRUE
    y = a1 * numpy.exp(-r1 * x) + a2 * numpy.exp(-r2 * x) + rng.normal(0.0, 1.0, x.size)
    xs, ys = quellar.DoubleArray(x), quellar.DoubleArray(y)
    math_processor = quellar.MathProcessor()

    single = quellar.DoubleArray()
    if not math_processor.RegressionExp(xs, ys, single):
        raise SystemExit('the one-exponential fit failed')
    a, b = single
    print('one exponential:  A = %.1f, R = %.4f /ms' % (a, b))

    # Start the two components from the single one, a faster and a slower share of it.
    coeffs = quellar.DoubleArray([a / 2, 3 * b, a / 2, b / 3])
    lower = quellar.DoubleArray([0.0, 0.0, 0.0, 0.0])
    upper = quellar.DoubleArray([1000.0, 10.0, 1000.0, 10.0])
    with quellar.connect(math_processor, two_exponentials):
        if not math_processor.RegressionCustom(xs, ys, quellar.REGRESSION_MARQUARDT, 4, lower,
                                               upper, coeffs):
            raise SystemExit('the two-exponential fit failed')
    c = numpy.array(coeffs)
    if c[1] < c[3]:
        c = c[[2, 3, 0, 1]]  # the fast component first
    print('two exponentials: A1 = %.1f, R1 = %.4f /ms, A2 = %.1f, R2 = %.4f /ms' % tuple(c))
    print('true values:      A1 = %.1f, R1 = %.4f /ms, A2 = %.1f, R2 = %.4f /ms' % TRUE)

    fits = {'one exponential': a * numpy.exp(-b * x),
            'two exponentials': c[0] * numpy.exp(-c[1] * x) + c[2] * numpy.exp(-c[3] * x)}
    for label, values in fits.items():
        print('%-17s rms residual %.3f' % (label + ':', numpy.sqrt(numpy.mean((y - values) ** 2))))
    quellar.plot.fit(x, y, fits, xlabel='time, ms', ylabel='signal', path=args.output,
                     title='Two-component relaxation: the custom model against the built-in')
    print('saved', args.output)


if __name__ == '__main__':
    main()
