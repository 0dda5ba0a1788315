"""Programs the suite starts: each one's output goes to its own log, and the
suite waits for lines of it with a bounded time instead of sleeping."""

import ctypes
import re
import signal
import subprocess
import threading
import time

_PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


def _die_with_parent():
    # A program the suite started never outlives it, however the suite ends.
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)


class WaitTimeout(Exception):
    pass


class Line:
    """A line a program printed: its text, its place in the output, the
    monotonic time it was read, and the match that found it."""

    def __init__(self, text, index, when, match):
        self.text, self.index, self.time, self.match = text, index, when, match


class Program:
    """One started program, its output kept line by line (stdout and stderr
    together) in memory and in a log file."""

    def __init__(self, name, argv, log_path, env=None, epoch=None):
        self.name = name
        self.epoch = time.monotonic() if epoch is None else epoch
        self.argv = argv
        self.log_path = log_path
        self.lines = []
        self.times = []
        self._changed = threading.Condition()
        self._log = open(log_path, "w", buffering=1)
        self._log.write("$ " + " ".join(argv) + "\n")
        self.process = subprocess.Popen(
            argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, env=env, preexec_fn=_die_with_parent)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.process.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            now = time.monotonic()
            self._log.write("%8.3f %s\n" % (now - self.epoch, line))
            with self._changed:
                self.times.append(now)
                self.lines.append(line)
                self._changed.notify_all()
        self.process.wait()
        with self._changed:
            self._changed.notify_all()

    def mark(self):
        """A position in the output; wait_for(..., since=mark) looks only at
        lines that came after it."""
        with self._changed:
            return len(self.lines)

    def wait_for(self, pattern, timeout, since=0, what=None):
        """The first Line from `since` on matching `pattern`, waiting at most
        `timeout` seconds; a program that exits first, or the time-out, fails
        with a message naming what was awaited."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        index = since
        with self._changed:
            while True:
                while index < len(self.lines):
                    match = regex.search(self.lines[index])
                    if match:
                        return Line(self.lines[index], index, self.times[index], match)
                    index += 1
                if self.process.poll() is not None and not self._reader.is_alive():
                    raise WaitTimeout("%s exited with status %d before printing %s"
                                      % (self.name, self.process.returncode, what or repr(pattern)))
                left = deadline - time.monotonic()
                if left <= 0:
                    raise WaitTimeout("%s printed no %s within %g s"
                                      % (self.name, what or repr(pattern), timeout))
                self._changed.wait(left)

    def count(self, pattern, since=0):
        regex = re.compile(pattern)
        with self._changed:
            return sum(1 for line in self.lines[since:] if regex.search(line))

    def wait_count(self, pattern, count, timeout, what=None):
        """Waits until `count` lines match `pattern`, at most `timeout`
        seconds; the time-out, or the program's exit first, fails as
        wait_for does."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        seen = index = 0
        with self._changed:
            while True:
                while seen < count and index < len(self.lines):
                    seen += 1 if regex.search(self.lines[index]) else 0
                    index += 1
                if seen >= count:
                    return
                if self.process.poll() is not None and not self._reader.is_alive():
                    raise WaitTimeout("%s exited with status %d after %d of %d %s"
                                      % (self.name, self.process.returncode, seen, count,
                                         what or repr(pattern)))
                left = deadline - time.monotonic()
                if left <= 0:
                    raise WaitTimeout("%s printed %d of %d %s within %g s"
                                      % (self.name, seen, count, what or repr(pattern), timeout))
                self._changed.wait(left)

    def running(self):
        return self.process.poll() is None

    def wait_exit(self, timeout):
        """The exit status, once the program has exited and its output is read."""
        try:
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise WaitTimeout("%s did not exit within %g s" % (self.name, timeout))
        self._reader.join(timeout)
        return self.process.returncode

    def stop(self, sig=signal.SIGTERM, timeout=10):
        """Asks the program to stop with `sig` and returns its exit status; one
        that does not stop in time is killed, and None is returned."""
        if self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            return self.wait_exit(timeout)
        except WaitTimeout:
            self.process.kill()
            self.process.wait()
            return None
        finally:
            self._reader.join(timeout)

    def close_log(self):
        self._log.close()

    def output(self):
        with self._changed:
            return "\n".join(self.lines)


def run(argv, timeout=30, check=True):
    """A short command run to its end; its failure names the command and its output."""
    result = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True,
                            timeout=timeout, preexec_fn=_die_with_parent)
    if check and result.returncode != 0:
        raise RuntimeError("%s failed with status %d: %s" % (
            " ".join(argv), result.returncode,
            (result.stderr or result.stdout).decode("utf-8", "replace").strip()))
    return result.stdout.decode("utf-8", "replace")
