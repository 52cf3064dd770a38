"""End to end: what `tessivar headless` tells its user on standard output (the summary at start and
one line per activity log item), the help text and its exit statuses, and the systemd user unit.
Run by CTest like test_local_server.py:

    test_windowless.py PROGRAM DOVECOT_TEMPLATE [unittest arguments]"""

import os
import poplib
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tessivar_e2e import (FIRST_LOCAL_PORT, Dovecot, Tessivar, database, free_loopback_port,  # noqa: E402
                          message, wait_for, write_mail_program_account)

PROGRAM = ""
DOVECOT_TEMPLATE = ""
USER, PASSWORD, EMAIL = "mailuser", "wonderland", "user@mail.test"
STAMP = r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d "
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class WindowlessTest(unittest.TestCase):

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="tessivar-e2e-home.")
        self.addCleanup(shutil.rmtree, self.home, True)
        self.env = dict(os.environ, TESSIVAR_HOME=self.home, TESSIVAR_REGISTRY_DIR=self.home)

    def command(self, *words, env=None):
        return subprocess.run([PROGRAM, *words], env=env or self.env, capture_output=True, text=True, timeout=120)

    def start(self, *switches):
        earlier = os.path.join(self.home, "tessivar.out")
        before = os.path.getsize(earlier) if os.path.exists(earlier) else 0
        run = Tessivar(PROGRAM, self.home, self.home, *switches)
        self.addCleanup(lambda: run.alive() and run.stop())
        wait_for(lambda: "Data folder: " in run.output()[before:] or not run.alive(), what="the summary")
        return run

    def stop(self, run):
        self.assertEqual(run.stop(), 0, run.output()[-4000:])
        return run.output()

    def enable_account(self, port):
        write_mail_program_account(self.home, EMAIL, USER, "127.0.0.1", port)
        self.assertEqual(self.command("enable", EMAIL).returncode, 0)

    def login(self):
        client = poplib.POP3("127.0.0.1", FIRST_LOCAL_PORT, timeout=60)
        client.user(USER)
        client.pass_(PASSWORD)
        client.quit()

    def test_each_login_of_a_screened_account_is_one_check_and_one_processed_line(self):
        dovecot = Dovecot(DOVECOT_TEMPLATE)
        self.addCleanup(dovecot.close)
        dovecot.add_user(USER, PASSWORD)
        self.enable_account(dovecot.port)
        run = self.start()
        summary = run.output()
        self.assertIn("Data folder: " + self.home + "/\n", summary)
        self.assertRegex(summary, r"\n  \S.* +%s +127\.0\.0\.1:%d +on local port %d\n" %
                         (re.escape(EMAIL), dovecot.port, FIRST_LOCAL_PORT))
        self.assertNotIn("None of them is screened", summary)
        for logins in (1, 2):
            dovecot.add_message(USER, message("friend@friends.test", "Note %d" % logins, ["hello"]))
            self.login()
            # Read while the program runs: each line reaches the file as it is written.
            wait_for(lambda: run.output().count("Processed a new message for") == logins, what="the pass's line")
            # A login while the pass still ends its session with the mailbox starts no pass.
            wait_for(lambda: dovecot.message_count(USER) == 0, what="the pass's QUIT")
            time.sleep(1)
        lines = self.stop(run).splitlines()
        about = '"%s" at "127.0.0.1".' % USER
        checks = [line for line in lines if line.endswith(" Checking mail for " + about)]
        processed = [line for line in lines if line.endswith(" Processed a new message for " + about)]
        self.assertEqual((len(checks), len(processed)), (2, 2), "\n".join(lines))
        for line in checks + processed:
            self.assertRegex(line, STAMP + r"[A-Z]")
        self.assertLess(lines.index(checks[1]), lines.index(processed[1]))

        # Standard output closed, or a pipe without reader: screening goes on, the stop is clean and
        # the database stays sound.
        for closing in ({"preexec_fn": lambda: os.close(1)}, {"stdout": subprocess.PIPE}):
            dovecot.add_message(USER, message("friend@friends.test", "Unread", ["hello"]))
            process = subprocess.Popen([PROGRAM, "headless"], env=self.env, stderr=subprocess.DEVNULL, **closing)
            if process.stdout:
                process.stdout.close()
            wait_for(lambda: self._login_succeeds(), what="the local server")
            wait_for(lambda: dovecot.message_count(USER) == 0, what="the pass")
            process.terminate()
            self.assertEqual(process.wait(60), 0)
        with database(self.home) as db:
            self.assertEqual(db.execute("PRAGMA integrity_check").fetchone()[0], "ok")
            self.assertEqual(db.execute("SELECT COUNT(*) FROM Emails").fetchone()[0], 4)

    def _login_succeeds(self):
        try:
            self.login()
            return True
        except OSError:
            return False

    def test_an_unreachable_mailbox_is_an_error_line(self):
        self.enable_account(free_loopback_port())
        run = self.start()
        # A first login cannot be checked while the real server is out of reach: try again later.
        with self.assertRaises(poplib.error_proto) as refused:
            self.login()
        self.assertTrue(refused.exception.args[0].startswith(b"-ERR [SYS/TEMP] "), refused.exception.args[0])
        wait_for(lambda: re.search(STAMP + r'error Could not connect to server for "%s" at "127\.0\.0\.1"\.$' % USER,
                                   run.output(), re.M), what="the error line")
        self.stop(run)

    def test_the_summary_says_what_to_do_when_nothing_is_found_or_screened(self):
        output = self.stop(self.start("show"))  # the windows' switch is accepted without them
        self.assertIn("No mail program account was found in HKEY_CURRENT_USER.reg or HKEY_LOCAL_MACHINE.reg in %s."
                      % self.home, output)
        self.assertIn('"tessivar account create ADDRESS PASSWORD"', output)
        write_mail_program_account(self.home, EMAIL, USER, "127.0.0.1", 110)
        output = self.stop(self.start())
        self.assertRegex(output, r"%s +127\.0\.0\.1:110 +not screened\n" % re.escape(EMAIL))
        self.assertIn('None of them is screened: "tessivar enable ADDRESS"', output)

    def test_help_usage_errors_and_a_failed_start_have_their_exit_statuses(self):
        helps = [self.command(word) for word in ("help", "--help", "-h", "HELP")]
        for result in helps:
            self.assertEqual((result.returncode, result.stdout, result.stderr), (0, helps[0].stdout, ""))
        for word in ("headless", "show", "debug", "log", "local", "account create", "account join",
                     "account password", "accounts", "enable", "disable", "imap add", "imap remove", "help",
                     "Exit status"):
            self.assertRegex(helps[0].stdout, r"(?m)^ *%s\b" % word)
        for words in (["frobnicate"], ["headless", "--debug"], ["accounts", "extra"], ["enable"], ["-help"]):
            result = self.command(*words)
            self.assertEqual(result.returncode, 2, words)
            self.assertIn(helps[0].stdout, result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.home, "Tessivar.db")))  # nothing started

        not_a_folder = os.path.join(self.home, "file")
        open(not_a_folder, "w").close()
        result = self.command("headless", env=dict(self.env, TESSIVAR_HOME=not_a_folder))
        self.assertEqual(result.returncode, 1)
        self.assertRegex(result.stderr, r"(?m)^tessivar: \S")

    def test_imap_add_keeps_nothing_when_the_login_fails_and_never_shows_the_password(self):
        # Nothing listens on the port: the login check fails whatever the IMAP client does.
        result = subprocess.run([PROGRAM, "imap", "add", EMAIL, "127.0.0.1:%d" % free_loopback_port(), USER],
                                input="hunter2-secret\n", env=self.env, capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertRegex(result.stderr, r"(?m)^tessivar: could not log in: \S")
        self.assertNotIn("hunter2", result.stdout + result.stderr)
        self.assertNotIn("IMAP MAILBOX", self.command("accounts").stdout)
        self.assertFalse(os.path.exists(os.path.join(self.home, "secrets")))
        for words in (["imap"], ["imap", "add", EMAIL, "host:99999", USER], ["imap", "add", EMAIL, "host"],
                      ["imap", "add", EMAIL, "host", USER, "--plain"], ["imap", "remove"]):
            self.assertEqual(self.command(*words).returncode, 2, words)

    def test_an_imap_account_is_listed_and_disabling_it_says_where_held_mail_is(self):
        self.assertEqual(self.command("accounts").returncode, 0)  # creates the database
        with database(self.home) as db:
            db.execute("INSERT INTO Accounts(ID, EmailAddress, RemoteServer, RemotePort, Username, Enabled) "
                       "VALUES(5, 'me@imap.test', 'imap.example.test', 143, 'me', 1)")
            db.execute("CREATE TABLE IF NOT EXISTS IMAPAccounts(AccountID INTEGER PRIMARY KEY, Security INTEGER)")
            db.execute("INSERT INTO IMAPAccounts(AccountID, Security) VALUES(5, 1)")
        self.assertRegex(self.command("accounts").stdout,
                         r"IMAP MAILBOX +SERVER +SECURITY +USER +SCREENING\n"
                         r"me@imap\.test +imap\.example\.test:143 +STARTTLS +me +enabled\n")
        output = self.stop(self.start())
        self.assertRegex(output, r"IMAP mailboxes:\n +IMAP MAILBOX .*\n +me@imap\.test +imap\.example\.test:143 ")
        self.assertNotIn("No mail program account was found", output)
        disabled = self.command("disable", "me@imap.test")
        self.assertEqual(disabled.returncode, 0, disabled.stderr)
        self.assertIn("Screening disabled for me@imap.test (IMAP, imap.example.test:143).", disabled.stdout)
        self.assertIn('Every message stays where it is on imap.example.test. Mail that Tessivar held is in the '
                      'folders "Tessivar/Awaiting Authorization" and "Tessivar/Blocked"', disabled.stdout)
        # The same mailbox behind a mail program account as well: only one way screens it.
        write_mail_program_account(self.home, "me@imap.test", "me", "127.0.0.1", 110)
        enabled = self.command("enable", "me@imap.test")
        self.assertEqual(enabled.returncode, 0, enabled.stderr)
        self.assertIn("No password is kept for it", enabled.stdout)
        self.assertIn("tessivar imap add me@imap.test imap.example.test me --starttls", enabled.stdout)
        self.assertIn("Not enabled for me@imap.test (127.0.0.1:110): the same address is screened on its IMAP "
                      "server already", enabled.stdout)
        self.assertRegex(self.command("accounts").stdout, r"me@imap\.test +127\.0\.0\.1:110 +disabled\n")

    def test_the_user_unit_passes_systemd_analyze_verify(self):
        if not shutil.which("systemd-analyze"):
            self.skipTest("systemd-analyze is not installed")
        # The unit names the program in the directory programs are installed into: here a copy.
        os.makedirs(os.path.join(self.home, "run"), mode=0o700)
        bindir = os.path.join(self.home, "bin")
        os.makedirs(bindir)
        shutil.copy(PROGRAM, os.path.join(bindir, "tessivar"))
        with open(os.path.join(SOURCE, "desktop", "tessivar.service.in")) as template:
            unit = template.read()
        self.assertIn("ExecStart=@CMAKE_INSTALL_FULL_BINDIR@/tessivar headless\n", unit)
        with open(os.path.join(self.home, "tessivar.service"), "w") as configured:
            configured.write(unit.replace("@CMAKE_INSTALL_FULL_BINDIR@", bindir))
        # The manual page the unit names is installed by the package only (tests/package checks it).
        result = subprocess.run(["systemd-analyze", "--user", "verify", "--man=no",
                                 os.path.join(self.home, "tessivar.service")],
                                env=dict(os.environ, HOME=self.home, XDG_RUNTIME_DIR=os.path.join(self.home, "run")),
                                capture_output=True, text=True, timeout=120)
        # Unknown keys and bad values are only warned about, with status 0.
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))


if __name__ == "__main__":
    PROGRAM, DOVECOT_TEMPLATE = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
