"""tshark captures of one interface. tshark prints each frame's number,
source, type and data as it takes it, so that a case can wait until frames
have crossed; a capture is flushed by sending a marker frame out of the
interface it watches and waiting until tshark has seen it, so that every frame
sent there before the marker has been taken and is in the file."""

import itertools
import os
import sys

from . import frames, processes

INJECT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "inject.py")

_markers = itertools.count(1)


def inject(namespace, ifname, raw_frames):
    namespace.run([sys.executable, INJECT, ifname] + [frame.hex() for frame in raw_frames])


class Capture:
    def __init__(self, world, namespace, ifname, name):
        self.namespace = namespace
        self.ifname = ifname
        self.path = world.path(name + ".pcap")
        self.mac = namespace.mac(ifname)
        self.program = world.start(name, [
            "tshark", "-n", "-i", ifname, "-w", self.path, "-F", "pcap", "-P", "-l",
            "-T", "fields", "-e", "frame.number", "-e", "eth.src", "-e", "eth.type", "-e", "data.data"],
            namespace=namespace)

    def ready(self, timeout=20):
        """Waits until tshark captures; it takes a second to start, so a case
        starts all its captures first and then waits for each."""
        self.program.wait_for(r"Capture started", timeout, what="the start of its capture")

    def flush(self, timeout=15):
        """Returns once tshark has taken every frame sent out of the interface
        before now: a marker sent after them has come through."""
        marker = b"marker %d of %s in %s" % (next(_markers), self.ifname.encode(), self.path.encode())
        inject(self.namespace, self.ifname,
               [frames.ethernet("ff:ff:ff:ff:ff:ff", self.mac, frames.MARKER, marker)])
        self.program.wait_for(r"\t0x%04x\t%s$" % (frames.MARKER, marker.hex()), timeout,
                              what="the marker that flushes its capture")

    def _eapol_from(self, source):
        return r"^\d+\t%s\t0x%04x\t" % (source, frames.EAPOL)

    def eapol_count(self, source):
        """How many EAPOL frames from `source` tshark has taken so far."""
        return self.program.count(self._eapol_from(source))

    def wait_eapol(self, source, count, timeout):
        """Waits until tshark has taken `count` EAPOL frames from `source`;
        False if it had not within `timeout` seconds."""
        try:
            self.program.wait_count(self._eapol_from(source), count, timeout)
            return True
        except processes.WaitTimeout:
            return False

    def frames(self):
        """Stops the capture and returns its frames, the markers left out."""
        self.flush()
        self.program.stop()
        captured = frames.read_pcap(self.path)
        return [frame for frame in captured if frames.ethertype(frame) != frames.MARKER]
