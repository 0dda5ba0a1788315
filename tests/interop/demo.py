#!/usr/bin/env python3
"""The demo's second half: wpa_supplicant authenticates to hostapd with
EAP-MD5 through rezezura-host and relayctl bridge on a veth pair in network
namespaces, the EAPOL frames printed as tshark decodes them while they cross,
and the service's verifier summary at the end. Where the machine cannot (not
root, no network namespaces, a tool or the service missing), one line says
why and the exit status is 0: the sim demo's result stands.

usage: demo.py [--build DIR] [--image PATH]"""

import argparse
import os
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import world as worlds  # noqa: E402
from harness.processes import WaitTimeout  # noqa: E402
from harness.session import Session  # noqa: E402
import interop  # noqa: E402


def step(text):
    print("-- " + text, flush=True)


class LiveFrames:
    """tshark on one port of the near namespace, decoding each EAPOL frame
    on it; a thread prints its lines as they come, so that the frames show
    while the peers exchange them."""

    FRAME = r"^\s*\d+\s"  # a frame's line begins with its number

    def __init__(self, world, namespace, port):
        self.program = world.start("decoded-" + port, [
            "tshark", "-n", "-l", "-i", port, "-f", "ether proto 0x888e",
            "-w", world.path("decoded-%s.pcap" % port), "-P"], namespace=namespace)
        self.program.wait_for(r"Capture started", 20, what="the start of its capture")
        self.started = self.printed = self.program.mark()
        self._stopping = threading.Event()
        self._printer = threading.Thread(target=self._print, daemon=True)
        self._printer.start()

    def _print_next(self, timeout):
        line = self.program.wait_for(self.FRAME, timeout, self.printed)
        print("     " + line.text.strip(), flush=True)
        self.printed = line.index + 1

    def _print(self):
        while not self._stopping.is_set():
            try:
                self._print_next(0.2)
            except WaitTimeout:
                if not self.program.running():
                    return

    def stop(self, frames=0):
        """Stops the printer once tshark has shown `frames` frames, prints
        what it had not printed yet, and stops tshark."""
        if frames:
            try:
                self.program.wait_for(r"^\s*%d\s" % frames, 10, self.started, what="frame %d" % frames)
            except WaitTimeout as timeout:
                print("     (%s)" % timeout, flush=True)
        self._stopping.set()
        self._printer.join(5)
        while True:
            try:
                self._print_next(0)
            except WaitTimeout:
                break
        self.program.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(interop.REPO, "build", "host"),
                        help="the build holding rezezura-host and relayctl")
    parser.add_argument("--image", help="run rezezura.sys itself in the service (a 32-bit build)")
    options = parser.parse_args()
    binaries = {"rezezura-host": os.path.join(options.build, "host", "rezezura-host"),
                "relayctl": os.path.join(options.build, "tools", "relayctl", "relayctl")}
    reason = interop.cannot_run()
    if reason is None and not all(os.access(path, os.X_OK) for path in binaries.values()):
        reason = "rezezura-host and relayctl are not built in %s" % options.build
    if reason:
        print("real peers: not shown: %s" % reason)
        return 0
    worlds.sweep_stale()
    world = worlds.World("demo")
    live = None
    try:
        step("network namespaces and a veth pair s0 <-> a0; hostapd (wired, its own EAP server) on a0")
        session = Session(world, "image" if options.image else "rezezura", binaries, image=options.image)
        link = session.links[0]
        step("rezezura-host bound to s0 (%s); relayctl bridge s0 <-> %s"
             % ("the image " + options.image if options.image else "the driver linked in", link.port))
        step("ARP, IPv4 and VLAN-tagged EAPOL on the wire, for the driver to drop")
        session.noise(link)
        live = LiveFrames(world, session.near, link.port)
        step("wpa_supplicant (wired) on %s authenticates with EAP-MD5; the EAPOL frames on %s as they cross:"
             % (link.port, link.port))
        session.start_supplicant(link, "md5").wait_success()
        link.authenticator.wait_success(link.near_mac)
        session.stop_peers()
        problems = session.compare_frames(link)
        live.stop(0 if problems else session.frame_count)
        live = None
        step("EAP success on both sides; the peers stopped")
        if not problems:
            step("each of the %d frames crossed unchanged and in order, and nothing else did"
                 % session.frame_count)
        problems += session.road.stop()
        step("rezezura-host stopped: " + session.road.service.lines[-1])
        if problems:
            print("real peers: FAILED:\n" + "\n".join(problems))
            return 1
        return 0
    except (WaitTimeout, RuntimeError) as error:
        print("real peers: FAILED: %s\n%s" % (error, world.logs()))
        return 1
    finally:
        if live:
            live.stop()
        world.close()


if __name__ == "__main__":
    sys.exit(main())
