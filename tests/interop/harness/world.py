"""The world a case runs in: its own network namespaces and veth pairs, its
programs and its files, all removed on every road out of the case."""

import os
import re
import shutil
import signal
import tempfile
import time

from . import processes

PREFIX = "rzi-"
DIR_PREFIX = "rezezura-interop-"
_OWNED = re.compile(r"^%s(\d+)-" % PREFIX)
_OWNED_DIR = re.compile(r"^%s(\d+)-" % DIR_PREFIX)


def _run_alive(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as cmdline:
            return b"interop" in cmdline.read()
    except OSError:
        return False


def _namespaces():
    listing = processes.run(["ip", "netns", "list"])
    return [line.split()[0] for line in listing.splitlines() if line.strip()]


def _remove_namespace(name):
    # Whatever still runs inside goes first; deleting the namespace then takes
    # its interfaces, and so the veth pairs, with it.
    pids = processes.run(["ip", "netns", "pids", name], check=False).split()
    for pid in pids:
        try:
            os.kill(int(pid), signal.SIGKILL)
        except (ProcessLookupError, ValueError):
            pass
    processes.run(["ip", "netns", "del", name], check=False)


def namespaces_work():
    """Whether this machine lets the suite make a network namespace: one is
    made and removed at once."""
    name = "%s%d-probe" % (PREFIX, os.getpid())
    try:
        processes.run(["ip", "netns", "add", name])
    except RuntimeError:
        return False
    processes.run(["ip", "netns", "del", name], check=False)
    return True


def sweep_stale():
    """Namespaces left by a run of this suite that was killed outright (SIGKILL
    leaves it no chance to clean up) are removed before a new run starts."""
    for name in _namespaces():
        owner = _OWNED.match(name)
        if owner and not _run_alive(int(owner.group(1))):
            _remove_namespace(name)
    for name in os.listdir(tempfile.gettempdir()):
        owner = _OWNED_DIR.match(name)
        if owner and not _run_alive(int(owner.group(1))):
            shutil.rmtree(os.path.join(tempfile.gettempdir(), name), ignore_errors=True)


class Namespace:
    def __init__(self, name):
        self.name = name

    def argv(self, argv):
        return ["ip", "netns", "exec", self.name] + list(argv)

    def run(self, argv, check=True):
        return processes.run(self.argv(argv), check=check)

    def ip(self, *args):
        return processes.run(["ip", "-n", self.name] + list(args))

    def mac(self, ifname):
        with_ns = self.run(["cat", "/sys/class/net/%s/address" % ifname])
        return with_ns.strip()

    def carrier(self, ifname):
        return self.run(["cat", "/sys/class/net/%s/carrier" % ifname], check=False).strip() == "1"


class World:
    def __init__(self, case):
        self.case = case
        self.id = "%d-%s" % (os.getpid(), case)
        self.dir = tempfile.mkdtemp(prefix="%s%d-%s-" % (DIR_PREFIX, os.getpid(), case))
        self.programs = []
        self.namespaces = []
        self.epoch = time.monotonic()

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, text):
        path = self.path(name)
        with open(path, "w") as out:
            out.write(text)
        return path

    def namespace(self, role):
        """A new namespace named after this run, holding only a loopback that is
        down and no IPv6, so that the kernel sends nothing of its own on the
        interfaces the case adds."""
        name = "%s%d-%s" % (PREFIX, os.getpid(), role)
        processes.run(["ip", "netns", "add", name])
        namespace = Namespace(name)
        self.namespaces.append(namespace)
        namespace.run(["sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1",
                       "net.ipv6.conf.default.disable_ipv6=1"])
        return namespace

    def veth(self, near, near_if, far, far_if):
        """A veth pair made straight inside the two namespaces, both ends up."""
        processes.run(["ip", "link", "add", near_if, "netns", near.name, "type", "veth",
                       "peer", "name", far_if, "netns", far.name])
        near.ip("link", "set", near_if, "up")
        far.ip("link", "set", far_if, "up")

    def start(self, name, argv, namespace=None, env=None):
        if namespace is not None:
            argv = namespace.argv(argv)
        program = processes.Program(name, argv, self.path(name + ".log"), env=env,
                                    epoch=self.epoch)
        self.programs.append(program)
        return program

    def logs(self):
        """Every program's output, for a person reading a failure."""
        parts = []
        for program in self.programs:
            with open(program.log_path) as log:
                parts.append("---- %s, seconds since the case began:\n%s" % (program.name, log.read()))
        return "\n".join(parts)

    def close(self, keep_files=False):
        for program in reversed(self.programs):
            program.stop(timeout=5)
            program.close_log()
        for namespace in reversed(self.namespaces):
            _remove_namespace(namespace.name)
        self.namespaces = []
        if not keep_files:
            shutil.rmtree(self.dir, ignore_errors=True)
