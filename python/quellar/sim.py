"""The virtual analyzer on a pseudo-terminal, for work without hardware.

    with quellar.sim.VirtualAnalyzer(sample='t2=3e7') as analyzer:
        controller = quellar.Controller()
        controller.Open(analyzer.port)

The analyzer answers in real time on its own thread. The controller opens COM port n as the
device named by the environment variable QUELLAR_COM<n>; VirtualAnalyzer sets it for a free
port number while it runs (DRIVER_DEVICE, when set, overrides every port, so it must not be).
"""
import os

from ._sim import PtyServer, fault_help, sample_help

__all__ = ['VirtualAnalyzer', 'sample_help', 'fault_help']


class VirtualAnalyzer:
    """A virtual analyzer. sample: 'key=value,...' (sample_help() lists the keys, for example
    d90=3300,t1=5e7,t2=3e7, times in ns); pace: bytes take their time at 115,200 baud;
    latency_ms: from a command to its answer; faults: texts of fault_help(). port: the COM
    port number to serve as, by default the first from 100 up that names no device."""

    def __init__(self, sample='', *, port=None, pace=False, latency_ms=0.0, faults=()):
        self._server = PtyServer(sample, pace, latency_ms, list(faults))
        self._wanted = port
        self.port = None
        self.path = None

    def start(self):
        if 'DRIVER_DEVICE' in os.environ:
            raise RuntimeError('DRIVER_DEVICE is set and would override the virtual port')
        port = self._wanted
        if port is None:
            port = next(n for n in range(100, 1000) if 'QUELLAR_COM%d' % n not in os.environ)
        self.path = self._server.start()
        self.port = port
        os.environ['QUELLAR_COM%d' % port] = self.path
        return self

    def stop(self):
        if self.port is not None:
            os.environ.pop('QUELLAR_COM%d' % self.port, None)
            self.port = None
        self._server.stop()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False
