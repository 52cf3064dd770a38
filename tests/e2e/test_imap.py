"""End to end: `tessivar headless` screening a real IMAP mailbox (Dovecot over TLS) in place, with
imaplib playing the user's phone on the same mailbox. Run by CTest:

    test_imap.py PROGRAM [unittest arguments]"""

import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from imap_e2e import AWAITING, BLOCKED, IMAPDovecot, Phone  # noqa: E402
from tessivar_e2e import Tessivar, add_domain, add_sender, database, make_certificates, message, wait_for  # noqa: E402

PROGRAM = ""

USER, PASSWORD, EMAIL = "imapuser", "through the looking glass", "user@mail.test"
APPROVED = "friend@friends.test"


def unknown_message(index, trial=0):
    return message("stranger%d@unknown%d.test" % (index, trial), "Hello %d" % index, ["Are you there?"],
                   recipient=EMAIL, message_id="<s%d.t%d@unknown.test>" % (index, trial))


class IMAPScreeningTest(unittest.TestCase):
    """A Dovecot IMAP mailbox and a home whose database knows an approved sender; the account is
    added with `tessivar imap add` by each test, after the mail that is already there."""

    CAPABILITIES = None

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="tessivar-e2e-imap.")
        self.addCleanup(shutil.rmtree, self.home, True)
        certificates = os.path.join(self.home, "certificates")
        os.makedirs(certificates)
        self.authority, certificate, key = make_certificates(certificates)
        shutil.copy(self.authority, os.path.join(self.home, "TrustedCertificates.pem"))
        self.dovecot = IMAPDovecot(certificate, key, self.CAPABILITIES)
        self.addCleanup(self.dovecot.close)
        self.dovecot.add_user(USER, PASSWORD)
        self.phone = Phone(self.dovecot.imaps_port, USER, PASSWORD, self.authority)
        self.addCleanup(self.phone.close)
        self.environment = dict(os.environ, TESSIVAR_HOME=self.home, TESSIVAR_REGISTRY_DIR=self.home)
        self.run_ = None

    def tearDown(self):
        if self.run_ is not None and self.run_.alive():
            self.run_.stop(signal.SIGKILL)

    # ---- helpers ---------------------------------------------------------------------------------

    def command(self, *words, password=PASSWORD):
        return subprocess.run([PROGRAM, *words], env=self.environment, input=(password + "\n").encode(),
                              capture_output=True, timeout=120)

    def add_account(self, *switches):
        done = self.command("imap", "add", EMAIL, "localhost:%d" % self.dovecot.imaps_port, USER, *switches)
        self.assertEqual(done.returncode, 0, done.stdout.decode() + done.stderr.decode())
        with database(self.home) as db:
            add_sender(db, "friend", add_domain(db, "friends.test", "?"), "A")
            add_domain(db, "spam.test", "B")

    def start(self):
        self.run_ = Tessivar(PROGRAM, self.home, self.home)
        return self.run_

    def stop(self):
        self.assertEqual(self.run_.stop(), 0, self.run_.output()[-4000:])

    def folders(self):
        return {name: self.phone.messages(name) for name in ("INBOX", AWAITING, BLOCKED)}

    def stored_message_ids(self):
        with database(self.home) as db:
            return sorted(row[0] for row in db.execute("SELECT MessageID FROM Emails"))

    # ---- tests -----------------------------------------------------------------------------------

    def test_new_mail_is_sorted_in_place_and_mail_already_there_is_left_alone(self):
        existing = [unknown_message(i) for i in (1, 2)]
        for data in existing:
            self.phone.append(data)
        self.add_account()
        # Mail that arrives after the account is added is screened, even before the program runs.
        self.phone.append(unknown_message(4))
        self.start()
        wait_for(lambda: self.phone.folder(AWAITING) is not None, what="the held folders to be made")

        friend = message(APPROVED, "Lunch", ["At noon?"], recipient=EMAIL, message_id="<lunch@friends.test>")
        offer = message("offers@spam.test", "Cheap", ["Buy"], recipient=EMAIL, message_id="<offer@spam.test>")
        stranger = unknown_message(3)
        for data in (friend, offer):
            self.phone.append(data)
        appended = time.monotonic()
        self.phone.append(stranger)
        wait_for(lambda: "<s3.t0@unknown.test>" in self.phone.messages(AWAITING), timeout=30,
                 what="the stranger's message to be held")
        arrival_to_move = time.monotonic() - appended
        wait_for(lambda: "<offer@spam.test>" in self.phone.messages(BLOCKED), timeout=30,
                 what="the blocked message to be moved")
        self.stop()

        folders = self.folders()
        self.assertEqual(sorted(folders["INBOX"]), sorted(["<s1.t0@unknown.test>", "<s2.t0@unknown.test>",
                                                           "<lunch@friends.test>"]))
        self.assertEqual(sorted(folders[AWAITING]), ["<s3.t0@unknown.test>", "<s4.t0@unknown.test>"])
        self.assertEqual(list(folders[BLOCKED]), ["<offer@spam.test>"])
        # Reading it for screening does not mark the approved message read on the user's devices.
        self.assertNotIn("\\Seen", folders["INBOX"]["<lunch@friends.test>"][1])
        self.assertEqual(self.stored_message_ids(),
                         sorted(["<lunch@friends.test>", "<offer@spam.test>", "<s3.t0@unknown.test>",
                                 "<s4.t0@unknown.test>"]))
        self.assertLess(arrival_to_move, 5.0, "IDLE should make screening immediate")
        self.assertIn("Screened", self.run_.output())

    def test_a_move_on_another_device_approves_or_blocks_that_message_once(self):
        self.add_account()
        self.start()
        wait_for(lambda: self.phone.folder(AWAITING) is not None, what="the held folders to be made")
        self.phone.append(unknown_message(1))
        self.phone.append(message(APPROVED, "Lunch", ["At noon?"], recipient=EMAIL,
                                  message_id="<lunch@friends.test>"))
        wait_for(lambda: "<s1.t0@unknown.test>" in self.phone.messages(AWAITING), timeout=30,
                 what="the stranger's message to be held")

        self.phone.move("<s1.t0@unknown.test>", AWAITING, "INBOX")
        self.phone.move("<lunch@friends.test>", "INBOX", BLOCKED)

        # Seen at once when the moves wake the program, else when the next run looks at the held
        # folders; the database is read only once the program has stopped (it keeps no busy time-out).
        time.sleep(5)
        self.stop()
        self.start()
        time.sleep(5)
        self.stop()

        folders = self.folders()
        # The user's moves stand: nothing is moved back, nothing is screened twice.
        self.assertIn("<s1.t0@unknown.test>", folders["INBOX"])
        self.assertIn("<lunch@friends.test>", folders[BLOCKED])
        self.assertEqual(folders[AWAITING], {})
        self.assertEqual(self.stored_message_ids(), ["<lunch@friends.test>", "<s1.t0@unknown.test>"])
        with database(self.home) as db:
            statuses = dict(db.execute("SELECT MessageID, ApprovalStatus FROM Emails"))
            senders = dict(db.execute(
                "SELECT s.Username || '@' || d.DomainName, s.ApprovalStatus FROM EmailAddresses s "
                "JOIN DomainNames d ON d.ID = s.DomainNameID"))
        self.assertNotEqual(statuses["<s1.t0@unknown.test>"], statuses["<lunch@friends.test>"])
        # Once only: the senders' own statuses are unchanged.
        self.assertEqual(senders[APPROVED], "A")
        self.assertNotEqual(senders.get("stranger1@unknown0.test"), "A")

    def test_kill_at_any_point_of_a_run_never_duplicates_loses_or_challenges_twice(self):
        self.add_account()
        self.start()
        wait_for(lambda: self.phone.folder(AWAITING) is not None, what="the held folders to be made")
        self.stop()
        sent = []
        for trial in range(6):
            batch = [unknown_message(i, trial) for i in range(25)]
            sent += batch
            for data in batch:
                self.phone.append(data)
            self.start()
            time.sleep(random.uniform(0.05, 2.0))
            self.run_.stop(signal.SIGKILL)
        self.start()
        wait_for(lambda: self.phone.count(AWAITING) >= len(sent) and self.phone.count("INBOX") == 0, timeout=300,
                 what="every message to be held")
        time.sleep(1)
        self.stop()

        folders = self.folders()
        expected = sorted("<s%d.t%d@unknown.test>" % (i, t) for t in range(6) for i in range(25))
        self.assertEqual(sorted(folders[AWAITING]), expected)
        self.assertEqual(folders["INBOX"], {})
        self.assertEqual(self.stored_message_ids(), expected)
        with database(self.home) as db:
            queued = [row[0] for row in db.execute("SELECT FromEmailAddress FROM EmailAddressesRequiringAuthorization")]
        self.assertEqual(len(queued), len(set(queued)), "a sender was queued for a challenge twice")

    def test_a_wrong_password_stores_nothing_and_says_why(self):
        done = self.command("imap", "add", EMAIL, "localhost:%d" % self.dovecot.imaps_port, USER, password="wrong")
        self.assertNotEqual(done.returncode, 0)
        self.assertNotIn("wrong", done.stdout.decode() + done.stderr.decode())
        if os.path.exists(os.path.join(self.home, "Tessivar.db")):
            with database(self.home) as db:
                self.assertEqual(db.execute("SELECT COUNT(*) FROM Accounts").fetchone()[0], 0)


if __name__ == "__main__":
    PROGRAM = sys.argv[1]
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
