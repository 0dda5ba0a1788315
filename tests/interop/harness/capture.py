"""tshark captures of one interface. A capture ends by sending a marker frame
out of the interface it watches and waiting until tshark has seen it, so that
every frame before the marker is in the file when tshark stops."""

import os
import sys

from . import frames, processes

INJECT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "inject.py")


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
            "-T", "fields", "-e", "frame.number", "-e", "eth.type", "-e", "data.data"],
            namespace=namespace)

    def ready(self, timeout=20):
        """Waits until tshark captures; it takes a second to start, so a case
        starts all its captures first and then waits for each."""
        self.program.wait_for(r"Capture started", timeout, what="the start of its capture")

    def frames(self, timeout=15):
        """Stops the capture and returns its frames, the marker left out."""
        marker = b"end of capture " + self.ifname.encode() + b" " + self.path.encode()
        inject(self.namespace, self.ifname,
               [frames.ethernet("ff:ff:ff:ff:ff:ff", self.mac, frames.MARKER, marker)])
        self.program.wait_for(r"\t0x%04x\t%s" % (frames.MARKER, marker.hex()), timeout,
                              what="the marker that ends its capture")
        self.program.stop()
        captured = frames.read_pcap(self.path)
        return [frame for frame in captured if frames.ethertype(frame) != frames.MARKER]
