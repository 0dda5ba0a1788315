#!/usr/bin/env python3
"""One whole authentication between hostapd and wpa_supplicant, timed, on
either road: direct (wpa_supplicant on the veth itself) or through rezezura
(rezezura-host and relayctl bridge). Prints, for each run, the milliseconds
from hostapd's receipt of the EAPOL-Start to the supplicant's EAP success:

    run 1: 12.345 ms

usage: authenticate.py [--road direct|rezezura] [--method md5|peap|tls]
                       [--runs N] [--build DIR]
Needs root. Exit status 0 when every run authenticated, 1 otherwise."""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import peers, world as worlds  # noqa: E402
from harness.processes import WaitTimeout  # noqa: E402
from harness.session import Session  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def authenticate_once(road, method, binaries, run):
    world = worlds.World("authenticate-%d" % run)
    try:
        session = Session(world, road, binaries, tls=method != "md5")
        link = session.links[0]
        supplicant = session.start_supplicant(link, method)
        success = supplicant.wait_success()
        start = link.authenticator.program.wait_for(r"received EAPOL-Start from STA", 5,
                                                    what="the EAPOL-Start")
        problems = session.finish()
        if problems:
            raise RuntimeError("; ".join(problems))
        return (success.time - start.time) * 1000
    except (WaitTimeout, RuntimeError) as error:
        print("run %d failed: %s\n%s" % (run, error, world.logs()), file=sys.stderr)
        return None
    finally:
        world.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--road", choices=("direct", "rezezura"), default="direct")
    parser.add_argument("--method", choices=peers.METHODS, default="md5")
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--build", default=os.path.join(REPO, "build", "host"))
    options = parser.parse_args()
    if os.geteuid() != 0:
        print("authenticate: needs root, for network namespaces and veth pairs", file=sys.stderr)
        return 1
    binaries = {"rezezura-host": os.path.join(options.build, "host", "rezezura-host"),
                "relayctl": os.path.join(options.build, "tools", "relayctl", "relayctl")}
    worlds.sweep_stale()
    failed = False
    for run in range(1, options.runs + 1):
        milliseconds = authenticate_once(options.road, options.method, binaries, run)
        if milliseconds is None:
            failed = True
        else:
            print("run %d: %.3f ms" % (run, milliseconds), flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
