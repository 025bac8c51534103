#!/usr/bin/env python3
"""Measures a CPMG echo train, fits T2 and saves cpmg_t2.png into the current folder.

Without --port it starts a virtual analyzer (sample T2 = 30 ms) and measures on it, so it runs
without hardware. The program: a baseline reading, a 90 degree impulse, then refocusing 180
degree impulses (phase 90) every 2·TAU with one sample at each echo top; four runs are
averaged. The echo amplitudes (less the baseline) are fitted with the library's
y = A·exp(-B·x), so T2 = 1/B.

    PYTHONPATH=build/default/python /usr/bin/python3 examples/python/cpmg_t2.py [--port N]
"""
import argparse
import contextlib

import numpy

import quellar
import quellar.plot
import quellar.sim

D90 = 3300        # ns, the 90 degree impulse (the virtual sample's d90)
TAU = 500_000     # ns, from an impulse's centre to the next echo's, half the echo spacing
ECHOES = 100
LEAD_IN = 100     # ns before every impulse
RELAXATION = 250  # ms between runs, about five T1 of the virtual sample
BASELINE = 20     # samples 1 us apart before the first impulse: the receiver's zero level


def compose(compiler):
    """baseline, 90x - TAU - [180y - TAU - sample - TAU] x ECHOES: impulse centres 2·TAU
    apart, each echo sampled 2·TAU·k after the 90 degree impulse's centre."""
    compiler.Clear()
    compiler.AddReading(BASELINE * 1000, 1000)
    compiler.AddImpulse(D90, quellar.IMPULSE_PHASE_0, TAU - LEAD_IN - D90 - D90 // 2)
    for _ in range(ECHOES):
        compiler.AddImpulse(2 * D90, quellar.IMPULSE_PHASE_90, TAU - D90)
        compiler.AddReading(500, 500)  # one sample, at the echo top
        compiler.AddSilence(TAU - LEAD_IN - D90 - 500)


def measure(port):
    controller = quellar.Controller()
    if not controller.Open(port):
        raise SystemExit('no analyzer answers on COM%d' % port)
    try:
        print('analyzer:', controller.State.MasterID)
        manager = controller.Manager
        manager.SetDetector(quellar.DETECTOR_QUADRATURE)
        manager.SetFilter(quellar.FILTER_300KGZ)
        compose(controller.Compiler)
        if not controller.Compiler.Send():
            raise SystemExit('the analyzer did not take the program')
        analysis = controller.Analysis
        if not analysis.Execute(5000, RELAXATION, 4, 0.0):
            raise SystemExit('the analysis failed')
        times, re, im = quellar.DoubleArray(), quellar.DoubleArray(), quellar.DoubleArray()
        controller.Compiler.GetAllMarkers(times)
        analysis.GetAllSamplesRE(re)
        analysis.GetAllSamplesIM(im)
        return numpy.array(times), numpy.array(re), numpy.array(im)
    finally:
        controller.Close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--port', type=int, help='COM port of a real analyzer')
    parser.add_argument('--output', default='cpmg_t2.png')
    args = parser.parse_args()
    with contextlib.ExitStack() as stack:
        port = args.port
        if port is None:
            port = stack.enter_context(quellar.sim.VirtualAnalyzer(sample='t2=3e7')).port
        times, re, im = measure(port)
    # The echo amplitude above the zero level against the time since the 90 degree impulse.
    re -= re[:BASELINE].mean()
    im -= im[:BASELINE].mean()
    x = times[BASELINE:] - (times[BASELINE] - 2 * TAU)  # the first echo is 2·TAU after it
    y = numpy.hypot(re, im)[BASELINE:]
    coeffs = quellar.DoubleArray()
    if not quellar.MathProcessor().RegressionExp(quellar.DoubleArray(x), quellar.DoubleArray(y),
                                                 coeffs):
        raise SystemExit('the exponential fit failed')
    a, b = coeffs
    print('%d echoes; A = %.1f, T2 = %.2f ms' % (len(y), a, 1e-6 / b))
    quellar.plot.fit(x / 1e6, y, a * numpy.exp(-b * x), xlabel='time, ms', ylabel='echo amplitude',
                     title='CPMG echo train: T2 = %.2f ms' % (1e-6 / b), path=args.output)
    print('saved', args.output)


if __name__ == '__main__':
    main()
