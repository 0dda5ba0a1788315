#!/usr/bin/env python3
"""rezezura's interop suite: hostapd and wpa_supplicant, two 802.1X peers
nobody here wrote, authenticate across rezezura on veth pairs in network
namespaces made for the run; the frames each sent are compared with those
the other received.

usage: interop.py [--road direct|rezezura|image] [--build DIR] [--image PATH]
                  [--rezezura-host PATH] [--relayctl PATH] [--keep] CASE...
       interop.py --list

Roads: direct (wpa_supplicant on the veth itself, the baseline), rezezura
(rezezura-host and relayctl bridge from DIR), image (the same with the service
running rezezura.sys). Needs root. Exit status: 0 all passed, 1 a case failed,
2 bad usage, 77 the machine cannot run the suite (not root, no namespaces)."""

import argparse
import os
import shutil
import signal
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import cases, world as worlds  # noqa: E402
from harness.processes import WaitTimeout  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SKIP = 77
CASE_TIME = 120
TOOLS = ("hostapd", "wpa_supplicant", "wpa_cli", "tshark", "openssl", "ip")


class OutOfTime(Exception):
    pass


def _out_of_time(signum, frame):
    raise OutOfTime("the case did not finish within %d s" % CASE_TIME)


def _stopped(signum, frame):
    raise KeyboardInterrupt("stopped by signal %d" % signum)


def cannot_run():
    """Why this machine cannot run the suite, or None."""
    if os.geteuid() != 0:
        return "needs root, for network namespaces and veth pairs"
    missing = [tool for tool in TOOLS if shutil.which(tool) is None]
    if missing:
        return "missing %s (./run test installs them)" % ", ".join(missing)
    if not worlds.namespaces_work():
        return "cannot make network namespaces here (a container without CAP_SYS_ADMIN?)"
    return None


def binaries(options):
    found = {"rezezura-host": options.rezezura_host or os.path.join(options.build, "host", "rezezura-host"),
             "relayctl": options.relayctl or os.path.join(options.build, "tools", "relayctl", "relayctl")}
    if options.road == "image":
        found["image"] = options.image
    if options.road != "direct":
        for name, path in found.items():
            if not os.access(path, os.R_OK):
                raise SystemExit("interop: no %s at %s; build it first (cmake --build --preset host)"
                                 % (name, path))
    return found


def run_case(name, options, found):
    print("== %s (%s)" % (name, options.road), flush=True)
    world = worlds.World(name)
    started = time.monotonic()
    failure = None
    signal.alarm(CASE_TIME)
    try:
        cases.CASES[name](options.road, world, found)
    except (cases.CaseFailure, WaitTimeout, OutOfTime, RuntimeError) as error:
        failure = str(error)
    except Exception:
        failure = traceback.format_exc()
    finally:
        signal.alarm(0)
        if failure:
            print("FAIL %s (%s): %s" % (name, options.road, failure))
            print(world.logs())
        if options.keep:
            print("kept the files in %s" % world.dir)
        world.close(keep_files=options.keep)
    if not failure:
        print("PASS %s (%s) in %.1f s" % (name, options.road, time.monotonic() - started), flush=True)
    return failure is None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("cases", nargs="*", metavar="CASE")
    parser.add_argument("--road", choices=("direct", "rezezura", "image"), default="rezezura")
    parser.add_argument("--build", default=os.path.join(REPO, "build", "host"),
                        help="the host build holding rezezura-host and relayctl")
    parser.add_argument("--rezezura-host", help="the service (default: in the build)")
    parser.add_argument("--relayctl", help="relayctl (default: in the build)")
    parser.add_argument("--image", help="rezezura.sys for the image road")
    parser.add_argument("--keep", action="store_true", help="keep each case's files and logs")
    parser.add_argument("--list", action="store_true", help="list the cases")
    options = parser.parse_args()
    if options.list:
        for name, case in cases.CASES.items():
            print("%-16s %s" % (name, case.__doc__.split("\n")[0]))
        return 0
    unknown = [name for name in options.cases if name not in cases.CASES]
    if unknown or not options.cases:
        parser.error("name cases from --list" + (": no case %s" % ", ".join(unknown) if unknown else ""))
    if options.road == "direct":
        refused = [name for name in options.cases if name in cases.REZEZURA_ONLY]
        if refused:
            parser.error("%s only run through rezezura" % ", ".join(refused))
    if options.road == "image" and not options.image:
        parser.error("the image road needs --image PATH (rezezura.sys)")
    reason = cannot_run()
    if reason is None and options.road == "image" and not os.path.isfile(options.image):
        reason = "no driver image at %s (cmake --build --preset windows-x86 builds it)" % options.image
    if reason:
        print("interop: skipped: %s" % reason)
        return SKIP
    found = binaries(options)
    signal.signal(signal.SIGALRM, _out_of_time)
    signal.signal(signal.SIGTERM, _stopped)
    signal.signal(signal.SIGHUP, _stopped)
    worlds.sweep_stale()
    failed = [name for name in options.cases if not run_case(name, options, found)]
    if failed:
        print("interop: FAILED (%s): %s" % (options.road, " ".join(failed)))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
