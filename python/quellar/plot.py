"""matplotlib plots of a measurement, a spectrum and a fit with its residuals, saved to PNG.

Figures are drawn on matplotlib's Agg canvas without pyplot, so they need no display; each
function returns its Figure and saves it when given path. To show a plot instead, pass axes of
your own (for example from pyplot.subplots()) as ax.
"""
import numpy
from matplotlib.figure import Figure

__all__ = ['measurement', 'spectrum', 'fit', 'frequencies']


def _axes(ax, rows=1, heights=None):
    if ax is not None:
        return ax.figure, ([ax] if rows == 1 else list(ax))
    fig = Figure(figsize=(8, 4.5 if rows == 1 else 6), layout='constrained')
    axes = fig.subplots(rows, 1, sharex=True, squeeze=False,
                        gridspec_kw={'height_ratios': heights} if heights else None)
    return fig, list(axes[:, 0])


def _done(fig, path):
    if path is not None:
        fig.savefig(path, dpi=110)
    return fig


def measurement(times, re, im=None, *, title='Measurement', path=None, ax=None):
    """Samples against their time marks (ns, drawn in microseconds): the real part, and with
    im also the imaginary part and the magnitude."""
    t = numpy.asarray(times, dtype=float) / 1e3
    re = numpy.asarray(re, dtype=float)
    fig, (axis,) = _axes(ax)
    style = '.-' if t.size <= 300 else '-'
    axis.plot(t, re, style, lw=1, ms=3, label='real')
    if im is not None:
        im = numpy.asarray(im, dtype=float)
        axis.plot(t, im, style, lw=1, ms=3, label='imaginary')
        axis.plot(t, numpy.hypot(re, im), 'k-', lw=1.2, label='magnitude')
    axis.set(title=title, xlabel='time, µs', ylabel='signal')
    axis.grid(alpha=0.3)
    axis.legend()
    return _done(fig, path)


def frequencies(count, interval_ns):
    """The frequency (kHz) of each item of a centred spectrum of count samples interval_ns
    apart: item m stands for (m - count//2) / (count·interval). With the library's kernel
    e^(+2πijk/N), a signal that turns as e^(-2πift) shows at +f."""
    return (numpy.arange(count) - count // 2) / (count * interval_ns * 1e-9) / 1e3


def spectrum(re, im, interval_ns, *, span=None, title='Spectrum', path=None, ax=None):
    """A centred spectrum (as MathProcessor.FFTShift gives it) of samples interval_ns apart:
    real and imaginary parts and the magnitude against frequency, within ±span kHz when
    given."""
    re = numpy.asarray(re, dtype=float)
    im = numpy.asarray(im, dtype=float)
    f = frequencies(re.size, interval_ns)
    fig, (axis,) = _axes(ax)
    axis.plot(f, re, lw=1, label='real')
    axis.plot(f, im, lw=1, label='imaginary')
    axis.plot(f, numpy.hypot(re, im), 'k-', lw=1.2, label='magnitude')
    if span is not None:
        axis.set_xlim(-span, span)
    axis.set(title=title, xlabel='frequency, kHz', ylabel='amplitude')
    axis.grid(alpha=0.3)
    axis.legend()
    return _done(fig, path)


def fit(x, y, fitted, *, title='Fit', xlabel='x', ylabel='y', path=None, ax=None):
    """Data points with fitted curves above and their residuals below. fitted is the model's
    values at x, a callable model f(x), or a dict of either by label (to compare fits). ax,
    when given, is a pair of axes (curves, residuals)."""
    x = numpy.asarray(x, dtype=float)
    y = numpy.asarray(y, dtype=float)
    fits = fitted if isinstance(fitted, dict) else {'fit': fitted}
    fig, (top, bottom) = _axes(ax, rows=2, heights=[3, 1])
    top.plot(x, y, 'o', ms=3, color='0.4', label='data')
    dense = numpy.linspace(x.min(), x.max(), 400) if x.size else x
    for label, model in fits.items():
        if callable(model):
            at_x = numpy.asarray([model(v) for v in x], dtype=float)
            line = top.plot(dense, [model(v) for v in dense], lw=1.5, label=label)[0]
        else:
            at_x = numpy.asarray(model, dtype=float)
            line = top.plot(x, at_x, lw=1.5, label=label)[0]
        bottom.plot(x, y - at_x, '.', ms=3, color=line.get_color(),
                    label='%s, rms %.3g' % (label, numpy.sqrt(numpy.mean((y - at_x) ** 2))))
    bottom.axhline(0, color='k', lw=0.8)
    top.set(title=title, ylabel=ylabel)
    bottom.set(xlabel=xlabel, ylabel='residual')
    for axis in (top, bottom):
        axis.grid(alpha=0.3)
        axis.legend(fontsize='small')
    return _done(fig, path)
