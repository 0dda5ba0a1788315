"""Runs a command with every i386 program it starts under qemu-i386, where the
kernel would run them itself:
    python3 under_qemu.py PROGRAM [ARGUMENT ...]
The command runs in user, mount, network and PID namespaces of its own (uids
and gids 0-65535 mapped to themselves, so it is root there and ordinary users
exist), whose binfmt_misc hands i386 ELF programs to qemu-i386; nothing outside
changes, and whatever the command leaves running ends with it. Exit status:
the command's, 77 when this machine cannot do it (no qemu-i386, no user
namespaces, or a kernel whose binfmt_misc is not per user namespace)."""

import ctypes
import os
import shutil
import signal
import sys

CLONE_NEWNS = 0x00020000
CLONE_NEWUSER = 0x10000000
CLONE_NEWPID = 0x20000000
CLONE_NEWNET = 0x40000000
MS_REC = 0x4000
MS_PRIVATE = 1 << 18
PR_SET_PDEATHSIG = 1
SKIP = 77
BINFMT = "/proc/sys/fs/binfmt_misc"
I386_ELF = (b":rezezura-i386:M::"
            b"\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:"
            b"\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:"
            b"%s:F")

libc = ctypes.CDLL(None, use_errno=True)


def fail(status, line):
    print("under_qemu.py: %s" % line, file=sys.stderr)
    os._exit(status)


def call(what, result):
    if result != 0:
        fail(SKIP, "%s: %s" % (what, os.strerror(ctypes.get_errno())))


def die_with_parent():
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def run_inside(command, qemu):
    """Pid 1 of the new PID namespace: binfmt_misc and /proc of its own, then the command."""
    die_with_parent()
    call("making the mounts private", libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None))
    call("mounting /proc", libc.mount(b"proc", b"/proc", b"proc", 0, None))
    call("mounting binfmt_misc in a user namespace", libc.mount(b"binfmt_misc", BINFMT.encode(), b"binfmt_misc", 0, None))
    try:
        with open(os.path.join(BINFMT, "register"), "wb") as register:
            register.write(I386_ELF % qemu.encode())
    except OSError as error:
        fail(SKIP, "registering qemu-i386: %s" % error)
    if os.system("ip link set lo up") != 0:
        fail(SKIP, "cannot bring up loopback in the new network namespace")
    try:
        os.execvp(command[0], command)
    except OSError as error:
        fail(127, "%s: %s" % (command[0], error))


def run_namespaced(command, qemu, ready, mapped):
    """Leaves for the new namespaces, waits until the parent mapped the ids,
    then starts pid 1 and passes on how it ended."""
    die_with_parent()
    os.close(ready[0])
    os.close(mapped[1])
    call("making the namespaces", libc.unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWPID))
    os.write(ready[1], b"u")
    os.close(ready[1])
    if os.read(mapped[0], 1) != b"m":
        fail(SKIP, "the ids were not mapped")
    os.setresgid(0, 0, 0)
    os.setresuid(0, 0, 0)
    first = os.fork()
    if first == 0:
        run_inside(command, qemu)
    _, status = os.waitpid(first, 0)
    os._exit(os.waitstatus_to_exitcode(status) if os.WIFEXITED(status) else 128 + os.WTERMSIG(status))


def main():
    if len(sys.argv) < 2:
        print("usage: under_qemu.py PROGRAM [ARGUMENT ...]", file=sys.stderr)
        return 2
    qemu = shutil.which("qemu-i386")
    if qemu is None:
        print("under_qemu.py: no qemu-i386 (package qemu-user)", file=sys.stderr)
        return SKIP
    ready, mapped = os.pipe(), os.pipe()
    child = os.fork()
    if child == 0:
        run_namespaced(sys.argv[1:], qemu, ready, mapped)
    os.close(ready[1])
    os.close(mapped[0])
    if os.read(ready[0], 1) == b"u":
        try:
            for name in ("uid_map", "gid_map"):
                with open("/proc/%d/%s" % (child, name), "w") as ids:
                    ids.write("0 0 65536\n")
            os.write(mapped[1], b"m")
        except OSError as error:
            print("under_qemu.py: mapping the ids: %s" % error, file=sys.stderr)
    os.close(mapped[1])
    signal.signal(signal.SIGTERM, lambda number, frame: os.kill(child, signal.SIGKILL))
    _, status = os.waitpid(child, 0)
    return os.waitstatus_to_exitcode(status) if os.WIFEXITED(status) else 128 + os.WTERMSIG(status)


if __name__ == "__main__":
    sys.exit(main())
