#!/usr/bin/env python3
"""Measures a free induction decay off resonance, transforms it and saves fid_spectrum.png
(the signal above, its spectrum below) into the current folder.

Without --port it starts a virtual analyzer and measures on it. The coarse bias is set a few
codes above the sample's resonance, so the signal turns at a few kHz and the spectrum's peak
sits off its centre.

    PYTHONPATH=build/default/python /usr/bin/python3 examples/python/fid_spectrum.py [--port N]
"""
import argparse
import contextlib

import numpy
from matplotlib.figure import Figure

import quellar
import quellar.plot
import quellar.sim

D90 = 3300        # ns
BASELINE = 20     # samples before the impulse: the receiver's zero level
SAMPLES = 4096    # after the impulse, 1 us apart
BIAS = (1715, 2048)  # coarse and precise: 15 codes above the virtual sample's resonance


def measure(port):
    controller = quellar.Controller()
    if not controller.Open(port):
        raise SystemExit('no analyzer answers on COM%d' % port)
    try:
        controller.Manager.SetBias(*BIAS)
        controller.Manager.SetFilter(quellar.FILTER_OFF)
        compiler = controller.Compiler
        compiler.Clear()
        compiler.AddReading(BASELINE * 1000, 1000)
        compiler.AddImpulse(D90, quellar.IMPULSE_PHASE_0, 10_000)
        compiler.AddReading(SAMPLES * 1000, 1000)
        if not compiler.Send():
            raise SystemExit('the analyzer did not take the program')
        if not controller.Analysis.Execute(5000, 250, 2, 0.0):
            raise SystemExit('the analysis failed')
        times, re, im = quellar.DoubleArray(), quellar.DoubleArray(), quellar.DoubleArray()
        compiler.GetAllMarkers(times)
        controller.Analysis.GetAllSamplesRE(re)
        controller.Analysis.GetAllSamplesIM(im)
        return numpy.array(times), numpy.array(re), numpy.array(im)
    finally:
        controller.Close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--port', type=int, help='COM port of a real analyzer')
    parser.add_argument('--output', default='fid_spectrum.png')
    args = parser.parse_args()
    with contextlib.ExitStack() as stack:
        port = args.port
        if port is None:
            port = stack.enter_context(quellar.sim.VirtualAnalyzer()).port
        times, re, im = measure(port)
    re = re[BASELINE:] - re[:BASELINE].mean()
    im = im[BASELINE:] - im[:BASELINE].mean()
    times = times[BASELINE:]

    math_processor = quellar.MathProcessor()
    freq_re, freq_im = quellar.DoubleArray(), quellar.DoubleArray()
    centred_re, centred_im = quellar.DoubleArray(), quellar.DoubleArray()
    if not (math_processor.FFT(quellar.DoubleArray(re), quellar.DoubleArray(im), freq_re, freq_im)
            and math_processor.FFTShift(freq_re, freq_im, centred_re, centred_im)):
        raise SystemExit('the transform failed')
    interval = times[1] - times[0]
    magnitude = numpy.hypot(centred_re, centred_im)
    peak = quellar.plot.frequencies(magnitude.size, interval)[magnitude.argmax()]
    print('%d samples %.0f ns apart; spectral peak at %+.2f kHz' % (re.size, interval, peak))

    figure = Figure(figsize=(8, 7), layout='constrained')
    top, bottom = figure.subplots(2, 1)
    quellar.plot.measurement(times, re, im, title='Free induction decay', ax=top)
    quellar.plot.spectrum(centred_re, centred_im, interval, span=20, ax=bottom,
                          title='Spectrum (peak at %+.2f kHz)' % peak)
    figure.savefig(args.output, dpi=110)
    print('saved', args.output)


if __name__ == '__main__':
    main()
