#!/usr/bin/env python3
"""The demo's second half: wpa_supplicant authenticates to hostapd with
EAP-MD5 through rezezura-host and relayctl bridge on a veth pair in network
namespaces, and the EAPOL frames that crossed are shown as tshark decodes
them. Where the machine cannot (not root, a tool or the service missing), one
line says why and the exit status is 0: the sim demo's result stands.

usage: demo.py [--build DIR]"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import frames, processes, world as worlds  # noqa: E402
from harness.processes import WaitTimeout  # noqa: E402
from harness.session import Session  # noqa: E402
import interop  # noqa: E402


def step(text):
    print("-- " + text, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(interop.REPO, "build", "host"))
    options = parser.parse_args()
    binaries = {"rezezura-host": os.path.join(options.build, "host", "rezezura-host"),
                "relayctl": os.path.join(options.build, "tools", "relayctl", "relayctl")}
    reason = interop.cannot_run()
    if reason is None and not all(os.access(path, os.X_OK) for path in binaries.values()):
        reason = "rezezura-host and relayctl are not built"
    if reason:
        print("real peers: not shown: %s" % reason)
        return 0
    worlds.sweep_stale()
    world = worlds.World("demo")
    try:
        step("network namespaces and a veth pair s0 <-> a0; hostapd (wired, its own EAP server) on a0")
        session = Session(world, "rezezura", binaries)
        link = session.links[0]
        step("rezezura-host bound to s0; relayctl bridge s0 <-> %s" % link.port)
        step("ARP, IPv4 and VLAN-tagged EAPOL on the wire, for the driver to drop")
        session.noise(link)
        step("wpa_supplicant (wired) on %s authenticates with EAP-MD5" % link.port)
        session.start_supplicant(link, "md5").wait_success()
        link.authenticator.wait_success(link.near_mac)
        step("EAP success on both sides; the EAPOL frames on %s, as tshark decodes them:" % link.port)
        problems = session.compare_frames(link)
        print(processes.run(["tshark", "-n", "-r", link.near_capture.path,
                             "-Y", "eapol && !(eth.type == 0x%04x)" % frames.MARKER]).rstrip())
        if not problems:
            step("each of the %d frames crossed unchanged and in order, and nothing else did"
                 % session.frame_count)
        problems += session.stop()
        step("rezezura-host stopped: " + session.road.service.lines[-1])
        if problems:
            print("real peers: FAILED:\n" + "\n".join(problems))
            return 1
        return 0
    except (WaitTimeout, RuntimeError) as error:
        print("real peers: FAILED: %s\n%s" % (error, world.logs()))
        return 1
    finally:
        world.close()


if __name__ == "__main__":
    sys.exit(main())
