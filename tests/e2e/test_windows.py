"""End to end: the program with windows (on Qt's offscreen platform) as a process: a quit signal
ends it cleanly even while its first window asks something, pointing the mail program back at its
real server, and without a display it says so and screens without windows. Run by CTest like
test_local_server.py:

    test_windows.py PROGRAM DOVECOT_TEMPLATE [unittest arguments]"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tessivar_e2e import (MARKER_HOST, read_account_values, redirected_port, wait_for,  # noqa: E402
                          write_mail_program_account)

PROGRAM = ""
EMAIL, USER = "user@mail.test", "mailuser"


class WindowsTest(unittest.TestCase):

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="tessivar-e2e-windows.")
        self.addCleanup(shutil.rmtree, self.home, True)
        self.env = dict(os.environ, TESSIVAR_HOME=self.home, TESSIVAR_REGISTRY_DIR=self.home,
                        XDG_CONFIG_HOME=os.path.join(self.home, "config"), QT_QPA_PLATFORM="offscreen",
                        TESSIVAR_SERVICE_HOST="127.0.0.1:1")
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(name, None)

    def run_program(self, *switches, env=None):
        output = open(os.path.join(self.home, "out.txt"), "wb")
        self.addCleanup(output.close)
        process = subprocess.Popen([PROGRAM, *switches], env=env or self.env, stdout=output, stderr=subprocess.STDOUT)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        return process

    def output(self):
        with open(os.path.join(self.home, "out.txt"), "rb") as f:
            return f.read().decode(errors="replace")

    def test_a_quit_signal_ends_the_windows_cleanly_and_restores_the_mail_program(self):
        write_mail_program_account(self.home, EMAIL, USER, "127.0.0.1", 2110)
        self.assertEqual(subprocess.run([PROGRAM, "enable", EMAIL], env=self.env, capture_output=True).returncode, 0)
        # As root the browser engine cannot run with its sandbox: the program does without the
        # embedded pages (and says so); with the sandbox switched off, as tests may, it shows them.
        browser = dict(self.env, QTWEBENGINE_DISABLE_SANDBOX="1",
                       QTWEBENGINE_CHROMIUM_FLAGS="--disable-gpu --disable-dev-shm-usage")
        for env, quit_signal in ((self.env, signal.SIGTERM), (browser, signal.SIGINT)):
            # No web account is set up: the window opens with a question still unanswered.
            process = self.run_program("show", env=env)
            wait_for(lambda: redirected_port(self.home) or process.poll() is not None,
                     what="the mail program to be redirected")
            self.assertIsNone(process.poll(), self.output())
            time.sleep(1.5)  # the event loop is up and the question on screen
            process.send_signal(quit_signal)
            self.assertEqual(process.wait(60), 0, self.output())
            values = read_account_values(self.home)
            self.assertEqual((values["POP3 Server"], values["POP3 Port"]), ("127.0.0.1", 2110))
            self.assertNotEqual(values["POP3 Server"], MARKER_HOST)
            if os.geteuid() == 0:
                self.assertEqual("embedded web pages cannot be shown" in self.output(), env is self.env)

    def test_without_a_display_it_says_so_and_screens_without_windows(self):
        env = dict(self.env)
        env.pop("QT_QPA_PLATFORM")
        process = self.run_program(env=env)
        wait_for(lambda: "Data folder: " in self.output() or process.poll() is not None, what="the summary")
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(60), 0, self.output())
        self.assertIn("tessivar: no display found", self.output())
        # A display named that nobody serves (a stale DISPLAY) is no reason to end: windowless too.
        env["DISPLAY"] = ":97"
        process = self.run_program(env=env)
        wait_for(lambda: "Data folder: " in self.output() or process.poll() is not None, what="the summary")
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(60), 0, self.output())
        self.assertIn("tessivar: the display named in the environment cannot be opened", self.output())


if __name__ == "__main__":
    PROGRAM = sys.argv[1]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
