"""The scrypt-vornik prompt through a pseudo-terminal, as a person meets it.

    /usr/bin/python3 pty_test.py PROGRAM

The program runs on the slave side of a pty; this script types at the
master side and reads what the terminal shows.  Checks: the password is not
echoed and echo is off while it is asked for; `hash` asks twice and refuses
two different entries; Ctrl-D before a newline is no entry; a signal at the
prompt (Ctrl-C, Ctrl-\\, SIGTERM, SIGHUP and every other that ends a
program) ends the program by that signal with the terminal's echo restored,
unless the caller ignored it; a stop signal leaves echo off and starts the
entry afresh.
"""

import os
import pty
import resource
import select
import shutil
import signal
import subprocess
import sys
import termios
import time
import unittest

PROGRAM = None
SECRET = b"tr0ub4dor&3"


class Session:
    """The program on a fresh pty; `fd` is the master side."""

    def __init__(self, *args, ignore=(), program=None, env=None):
        program = program or PROGRAM
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            try:
                # No core file from the SIGQUIT case.
                resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
                # Python ignores these two itself; the program gets the
                # default unless a case ignores a signal, as nohup does.
                for sig in (signal.SIGPIPE, signal.SIGXFSZ):
                    signal.signal(sig, signal.SIG_DFL)
                for sig in ignore:
                    signal.signal(sig, signal.SIG_IGN)
                os.environ.update(env or {})
                os.execv(program, [program, *args])
            finally:
                os._exit(127)
        self.shown = b""
        self.status = None

    def read_until(self, text, timeout=20.0, start=0):
        """Reads what the terminal shows until `text` appears (from `start` on)."""
        deadline = time.monotonic() + timeout
        while text not in self.shown[start:]:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"{text!r} not shown; the terminal shows {self.shown!r}")
            ready, _, _ = select.select([self.fd], [], [], left)
            if ready:
                try:
                    chunk = os.read(self.fd, 4096)
                except OSError:  # the slave side closed
                    chunk = b""
                if not chunk:
                    raise AssertionError(f"{text!r} not shown before the end: {self.shown!r}")
                self.shown += chunk

    def type(self, data):
        os.write(self.fd, data)

    def echo_on(self):
        return bool(termios.tcgetattr(self.fd)[3] & termios.ECHO)

    def wait_for_echo(self, on, timeout=5.0):
        """The terminal's echo state once it settles at `on` (or the last seen)."""
        deadline = time.monotonic() + timeout
        while self.echo_on() != on and time.monotonic() < deadline:
            time.sleep(0.01)
        return self.echo_on()

    def finish(self, timeout=60.0):
        """Drains the terminal and waits for the program; its wait status."""
        deadline = time.monotonic() + timeout
        while True:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid == self.pid:
                self.status = status
                break
            if time.monotonic() > deadline:
                os.kill(self.pid, signal.SIGKILL)
                os.waitpid(self.pid, 0)
                raise AssertionError("the program did not end")
            ready, _, _ = select.select([self.fd], [], [], 0.05)
            if ready:
                try:
                    self.shown += os.read(self.fd, 4096)
                except OSError:
                    pass
        # What is left in the terminal after the end.
        while select.select([self.fd], [], [], 0.05)[0]:
            try:
                chunk = os.read(self.fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            self.shown += chunk
        return self.status

    def close(self):
        os.close(self.fd)


class Prompt(unittest.TestCase):
    def test_hash_asks_twice_without_echo(self):
        s = Session("hash", "-N", "16")
        try:
            self.assertTrue(s.echo_on(), "a fresh pty echoes")
            s.read_until(b"Password: ")
            self.assertFalse(s.wait_for_echo(False), "echo is off at the prompt")
            s.type(SECRET + b"\n")
            s.read_until(b"again: ")
            self.assertFalse(s.echo_on())
            s.type(SECRET + b"\n")
            status = s.finish()
            self.assertTrue(os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, s.shown)
            self.assertNotIn(SECRET, s.shown)
            self.assertIn(b"$7$", s.shown)
            self.assertTrue(s.echo_on(), "echo is back after the prompt")
        finally:
            s.close()
        # The string verifies, the password again at a terminal.
        line = [l for l in s.shown.split(b"\r\n") if l.startswith(b"$7$")][0]
        for typed, want in ((SECRET, 0), (SECRET + b"x", 1)):
            v = Session("verify", line.decode())
            try:
                v.read_until(b"Password: ")
                v.type(typed + b"\n")
                status = v.finish()
                self.assertTrue(os.WIFEXITED(status), v.shown)
                self.assertEqual(os.WEXITSTATUS(status), want, v.shown)
                self.assertNotIn(SECRET, v.shown)
                self.assertNotIn(b"again", v.shown, "verify asks once")
            finally:
                v.close()

    def test_hash_refuses_two_different_entries(self):
        s = Session("hash", "-N", "16")
        try:
            s.read_until(b"Password: ")
            s.type(SECRET + b"\n")
            s.read_until(b"again: ")
            s.type(SECRET + b"!\n")
            status = s.finish()
            self.assertTrue(os.WIFEXITED(status) and os.WEXITSTATUS(status) == 2, s.shown)
            self.assertIn(b"scrypt-vornik: hash: the two passwords differ", s.shown)
            self.assertNotIn(b"$7$", s.shown)
            self.assertNotIn(SECRET, s.shown)
            self.assertTrue(s.echo_on())
        finally:
            s.close()

    def test_signal_at_prompt_restores_echo(self):
        # Keys the terminal turns into signals, and signals from elsewhere.
        cases = (
            ("Ctrl-C", lambda s: s.type(b"\x03"), signal.SIGINT),
            ("Ctrl-\\", lambda s: s.type(b"\x1c"), signal.SIGQUIT),
            ("SIGTERM", lambda s: os.kill(s.pid, signal.SIGTERM), signal.SIGTERM),
            ("SIGHUP", lambda s: os.kill(s.pid, signal.SIGHUP), signal.SIGHUP),
        ) + tuple(
            # Every other signal whose default action ends the program.
            (sig.name, lambda s, sig=sig: os.kill(s.pid, sig), sig)
            for sig in (signal.SIGALRM, signal.SIGUSR1, signal.SIGUSR2, signal.SIGVTALRM,
                        signal.SIGPROF, signal.SIGXCPU, signal.SIGXFSZ, signal.SIGPIPE,
                        signal.SIGRTMIN)
        )
        for name, send, sig in cases:
            for args in (("hash", "-N", "16"), ("derive", "--salt", "s", "-N", "16")):
                with self.subTest(signal=name, command=args[0]):
                    s = Session(*args)
                    try:
                        s.read_until(b"Password: ")
                        self.assertFalse(s.wait_for_echo(False))
                        s.type(b"half a pass")  # typed, not yet entered
                        send(s)
                        status = s.finish()
                        self.assertTrue(os.WIFSIGNALED(status), f"{status:#x} {s.shown!r}")
                        self.assertEqual(os.WTERMSIG(status), sig)
                        self.assertTrue(s.echo_on(), "echo restored after the program died")
                        self.assertNotIn(b"half a pass", s.shown)
                    finally:
                        s.close()

    def test_stop_signal_keeps_the_prompt_quiet(self):
        # The program is alone in its session here, so the kernel does not
        # stop it (an orphaned process group ignores SIGTSTP); the handler
        # still restores the terminal and then silences it again.
        s = Session("derive", "--salt", "s", "-N", "16")
        try:
            s.read_until(b"Password: ")
            self.assertFalse(s.wait_for_echo(False))
            os.kill(s.pid, signal.SIGTSTP)
            os.kill(s.pid, signal.SIGCONT)
            time.sleep(0.2)
            self.assertFalse(s.wait_for_echo(False), "echo off again after the stop")
            s.type(SECRET + b"\n")
            status = s.finish()
            self.assertTrue(os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, s.shown)
            self.assertNotIn(SECRET, s.shown)
            self.assertTrue(s.echo_on())
        finally:
            s.close()

    def test_ignored_signal_stays_ignored(self):
        # As under nohup, or with Ctrl-C ignored by the caller.
        cases = (
            ("SIGHUP", lambda s: os.kill(s.pid, signal.SIGHUP), signal.SIGHUP),
            ("Ctrl-C", lambda s: s.type(b"\x03"), signal.SIGINT),
        )
        for name, send, sig in cases:
            with self.subTest(signal=name):
                s = Session("derive", "--salt", "s", "-N", "16", ignore=(sig,))
                try:
                    s.read_until(b"Password: ")
                    self.assertFalse(s.wait_for_echo(False))
                    send(s)
                    time.sleep(0.2)
                    self.assertFalse(s.wait_for_echo(False), "still at the prompt, echo off")
                    s.type(SECRET + b"\n")
                    status = s.finish()
                    self.assertTrue(os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0,
                                    f"{status:#x} {s.shown!r}")
                    self.assertIn(piped_key(SECRET), s.shown)
                finally:
                    s.close()

    def test_end_of_input_is_no_entry(self):
        # Ctrl-D on an empty line, or twice after some typing: no newline,
        # so no password (an empty one is typed as just Enter).
        for typed in (b"\x04", b"half\x04\x04"):
            for args in (("hash", "-N", "16"), ("derive", "--salt", "s", "-N", "16")):
                with self.subTest(typed=typed, command=args[0]):
                    s = Session(*args)
                    try:
                        s.read_until(b"Password: ")
                        self.assertFalse(s.wait_for_echo(False))
                        s.type(typed)
                        status = s.finish()
                        self.assertTrue(os.WIFEXITED(status) and os.WEXITSTATUS(status) == 2,
                                        f"{status:#x} {s.shown!r}")
                        self.assertIn(b"scrypt-vornik: %s: no password entered\r\n"
                                      % args[0].encode(), s.shown)
                        self.assertNotIn(b"$7$", s.shown)
                        self.assertNotIn(b"again", s.shown)
                        self.assertTrue(s.echo_on())
                    finally:
                        s.close()

    def test_entry_starts_afresh_after_a_stop(self):
        # What was typed before the stop is gone (the terminal drops it):
        # the prompt is shown again, and only the new entry counts.
        s = Session("derive", "--salt", "s", "-N", "16")
        try:
            s.read_until(b"Password: ")
            self.assertFalse(s.wait_for_echo(False))
            s.type(b"half a pass")
            time.sleep(0.1)
            os.kill(s.pid, signal.SIGTSTP)
            time.sleep(0.2)  # a SIGCONT would discard a stop still pending
            os.kill(s.pid, signal.SIGCONT)
            s.read_until(b"Password: Password: ")
            self.assertFalse(s.wait_for_echo(False))
            s.type(SECRET + b"\n")
            status = s.finish()
            self.assertTrue(os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, s.shown)
            self.assertIn(piped_key(SECRET), s.shown)
        finally:
            s.close()

    def test_ctrl_z_and_fg_at_a_shell(self):
        # A shell with job control: Ctrl-Z stops the program for real (the
        # terminal drops the line typed so far), fg brings it back with the
        # prompt shown again, and only the new entry counts.
        bash = shutil.which("bash")
        if bash is None:
            self.skipTest("bash not found (Debian: bash)")
        s = Session("--norc", "--noprofile", "-i", program=bash,
                    env={"PS1": "sh$ ", "TERM": "dumb"})
        try:
            s.read_until(b"sh$ ")
            s.type(f"'{PROGRAM}' derive --salt s -N 16\n".encode())
            s.read_until(b"Password: ")
            self.assertFalse(s.wait_for_echo(False))
            s.type(b"half a pass")
            time.sleep(0.1)
            s.type(b"\x1a")  # Ctrl-Z
            s.read_until(b"Stopped")
            mark = len(s.shown)
            s.type(b"fg\n")
            s.read_until(b"Password: ", start=mark)
            self.assertFalse(s.wait_for_echo(False), "echo off again after fg")
            s.type(SECRET + b"\n")
            s.read_until(b"sh$ ", start=s.shown.rindex(b"Password: "))
            s.type(b"echo status=$?\n")
            s.read_until(b"status=0", start=mark)
            self.assertIn(piped_key(SECRET), s.shown[mark:])
            self.assertNotIn(SECRET, s.shown)
            s.type(b"exit\n")
            s.finish()
        finally:
            s.close()


def piped_key(password):
    """The key of `derive --salt s -N 16` for `password` given on a pipe."""
    r = subprocess.run([PROGRAM, "derive", "--salt", "s", "-N", "16"], input=password + b"\n",
                       capture_output=True, check=True)
    return r.stdout.strip()


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: pty_test.py PROGRAM")
    PROGRAM = sys.argv.pop(1)
    unittest.main(verbosity=2)
