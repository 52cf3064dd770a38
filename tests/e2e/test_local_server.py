"""End to end: a real POP3 mail program (poplib) fetches through `tessivar headless` from a real
POP3 mailbox (Dovecot). Run by CTest with the program and the Dovecot configuration template:

    test_local_server.py PROGRAM DOVECOT_TEMPLATE [unittest arguments]

Every test starts local servers on the program's fixed port range, so CTest runs them serially."""

import os
import poplib
import random
import shutil
import signal
import socket
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tessivar_e2e import (FIRST_LOCAL_PORT, MARKER_HOST, Dovecot, Tessivar, add_domain, add_sender,  # noqa: E402
                          create_database, database, message, port_accepts, read_account_values,
                          redirected_port, wait_for, write_mail_program_account)

PROGRAM = ""
DOVECOT_TEMPLATE = ""

USER, PASSWORD, EMAIL = "mailuser", "wonderland", "user@mail.test"

APPROVED = "friend@friends.test"
BLOCKED = "offers@spam.test"
UNKNOWN = "stranger@unknown.test"


class LocalServerTest(unittest.TestCase):
    """A Dovecot mailbox, a mail program account for it in the registry, and a database holding the
    matching account (enabled), an approved sender and a blocked domain."""

    def setUp(self):
        self.dovecot = Dovecot(DOVECOT_TEMPLATE)
        self.addCleanup(self.dovecot.close)
        self.dovecot.add_user(USER, PASSWORD)
        self.home = tempfile.mkdtemp(prefix="tessivar-e2e-home.")
        self.addCleanup(shutil.rmtree, self.home, True)
        self.registry = self.home
        write_mail_program_account(self.registry, EMAIL, USER, "127.0.0.1", self.dovecot.port)
        create_database(PROGRAM, self.home, self.registry)
        with database(self.home) as db:
            self.assertEqual(db.execute("SELECT COUNT(*) FROM Accounts").fetchone()[0], 1)
            db.execute("UPDATE Accounts SET Enabled=1")
            add_sender(db, "friend", add_domain(db, "friends.test", "?"), "A")
            add_domain(db, "spam.test", "B")
        self.run_ = None

    def tearDown(self):
        if self.run_ is not None and self.run_.alive():
            self.run_.stop(signal.SIGKILL)

    # ---- helpers ---------------------------------------------------------------------------------

    def start(self):
        """Starts the program; returns the local port once it listens there and the mail program
        account points at it (a key left redirected by an earlier run does not count)."""
        registry_file = os.path.join(self.registry, "HKEY_CURRENT_USER.reg")
        before = os.stat(registry_file).st_mtime_ns
        self.run_ = Tessivar(PROGRAM, self.home, self.registry)
        port = wait_for(lambda: os.stat(registry_file).st_mtime_ns != before and redirected_port(self.registry),
                        what="the account to be redirected")
        wait_for(lambda: port_accepts(port), what="the local server to listen")
        return port

    def stop(self):
        code = self.run_.stop()
        self.assertEqual(code, 0, self.run_.output()[-4000:])
        values = read_account_values(self.registry)
        self.assertEqual(values["POP3 Server"], "127.0.0.1")
        self.assertEqual(values["POP3 Port"], self.dovecot.port)

    def login(self, port):
        client = poplib.POP3("127.0.0.1", port, timeout=60)
        client.user(USER)
        client.pass_(PASSWORD)
        return client

    def offered(self, port):
        """Logs in and out again; the number of messages the session offered."""
        client = self.login(port)
        count = client.stat()[0]
        client.quit()
        return count

    def check_in(self, port):
        """Logs in until a pass has emptied the mailbox (a login during a pass starts none)."""
        def emptied():
            self.offered(port)
            return self._empty_within(2)
        wait_for(emptied, what="a pass to empty the mailbox")

    def _empty_within(self, seconds):
        deadline = time.monotonic() + seconds
        while self.dovecot.message_count(USER) > 0:
            if time.monotonic() >= deadline:
                return False
            time.sleep(0.05)
        return True

    def fetch_all(self, port, delete=True):
        """Retrieves (and deletes) every message of a session: list of line lists."""
        client = self.login(port)
        count, _ = client.stat()
        messages = [client.retr(i)[1] for i in range(1, count + 1)]
        if delete:
            for i in range(1, count + 1):
                client.dele(i)
        client.quit()
        return messages

    def assert_alive(self):
        self.assertTrue(self.run_.alive(), self.run_.output()[-4000:])

    # ---- tests -----------------------------------------------------------------------------------

    def test_only_approved_mail_is_delivered_byte_for_byte_and_deleted(self):
        approved = message(APPROVED, "Lunch", ["Shall we meet at noon?", ".", "..two dots", "", "Bye"])
        self.dovecot.add_message(USER, approved)
        self.dovecot.add_message(USER, message(BLOCKED, "Cheap offers", ["Buy now"]))
        self.dovecot.add_message(USER, message(UNKNOWN, "Hello", ["Do you remember me?"]))

        port = self.start()
        self.assertEqual(port, FIRST_LOCAL_PORT)
        # The answer to PASS waits for the pass, so the approved message arrives in this login.
        client = self.login(port)
        self.assertEqual(client.stat(), (1, len(approved)))
        self.assertEqual(client.retr(1)[1], approved.split(b"\r\n")[:-1])
        client.dele(1)
        client.quit()
        self.stop()

        with database(self.home) as db:
            rows = dict(db.execute(
                "SELECT s.Username || '@' || d.DomainName, e.Deleted FROM Emails e "
                "JOIN EmailAddresses s ON s.ID = e.FromEmailAddressID JOIN DomainNames d ON d.ID = s.DomainNameID"))
            authorizations = [r[0] for r in db.execute(
                "SELECT FromEmailAddress FROM EmailAddressesRequiringAuthorization")]
        self.assertEqual(rows, {APPROVED: 1, BLOCKED: 0, UNKNOWN: 0})
        # The unknown sender waits for authorization (a never-seen sender of a blocked domain is
        # queued as well; its mail stays blocked).
        self.assertIn(UNKNOWN, authorizations)
        self.assertNotIn(APPROVED, authorizations)

    def test_only_the_owner_is_served_even_behind_many_idle_connections(self):
        approved = message(APPROVED, "Private", ["For the owner only"])
        self.dovecot.add_message(USER, approved)
        port = self.start()
        self.check_in(port)
        # Another local user's guesses read nothing and delete nothing.
        for user, password in ((USER, "guess"), ("somebody", PASSWORD)):
            client = poplib.POP3("127.0.0.1", port, timeout=60)
            client.user(user)
            with self.assertRaises(poplib.error_proto) as refused:
                client.pass_(password)
            self.assertEqual(refused.exception.args[0], b"-ERR [AUTH] Invalid user name or password.")
            with self.assertRaises(poplib.error_proto):
                client.dele(1)
            client.close()
        # Connections that never log in cannot hold every place.
        idle = [socket.create_connection(("127.0.0.1", port), timeout=60) for _ in range(200)]
        try:
            client = self.login(port)
            self.assertEqual(client.stat(), (1, len(approved)))
            client.quit()
        finally:
            for connection in idle:
                connection.close()
        self.stop()
        with database(self.home) as db:
            self.assertEqual(db.execute("SELECT COUNT(*) FROM Emails WHERE Deleted=1").fetchone()[0], 0)
            stored = db.execute("SELECT HashedPassword FROM AccountLogins").fetchone()[0]
        self.assertTrue(stored.startswith("$argon2id$"))
        self.assertNotIn(PASSWORD, stored)

    def test_hostile_mail_program_never_crashes_wedges_or_loses_mail(self):
        first, second = (message(APPROVED, "First", ["one"]), message(APPROVED, "Second", ["two"]))
        self.dovecot.add_message(USER, first)
        self.dovecot.add_message(USER, second)
        port = self.start()
        self.check_in(port)

        LOGIN = ("USER %s\r\nPASS %s\r\n" % (USER, PASSWORD)).encode()

        def raw(chunks, read_greeting=True, then_read=True):
            with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
                if read_greeting:
                    s.recv(1000)
                for chunk in chunks:
                    s.sendall(chunk)
                    if then_read:
                        s.recv(100000)

        randomness = random.Random(7)
        raw([bytes(randomness.randrange(256) for _ in range(4000))], then_read=False)
        raw([], read_greeting=False)
        raw([b"A" * 20000 + b"\r\n"])
        raw([LOGIN, b"LIST " + b"9" * 20000 + b"\r\n"])
        raw([b"RETR 1\r\n", b"DELE 1\r\n", b"TOP 1\r\n", b"APOP x y\r\n", b"PASS\r\n", b"LIST x\r\n",
             b"DELE abc\r\n", b"TOP 1 -5\r\n", b"RETR 99\r\n", b"UIDL -1\r\n", b"\x00\xff\r\n", b"QUIT\r\n"])
        raw([LOGIN])                                      # dropped while holding the session
        raw([LOGIN, b"RETR 1\r\n"], then_read=False)     # dropped in the middle of an answer
        self.assert_alive()
        # Every dropped session has been released: both messages are offered again.
        wait_for(lambda: self.offered(port) == 2, what="the dropped sessions to be released")
        raw([LOGIN, b"DELE 1\r\n"])                        # dropped after a deletion: it applies
        wait_for(lambda: self.offered(port) == 1, what="the dropped deletion to apply")

        # The account is not wedged: logins still start passes that fetch new mail.
        third = message(APPROVED, "Third", ["three"])
        self.dovecot.add_message(USER, third)
        self.check_in(port)
        delivered = self.fetch_all(port)
        self.assertEqual(self.offered(port), 0)
        self.assert_alive()
        self.stop()

        # Exactly one of the first two went with the dropped connection's deletion; nothing else is
        # lost and nothing is offered twice.
        expected = [m.split(b"\r\n")[:-1] for m in (first, second, third)]
        self.assertEqual(len(delivered), 2)
        self.assertIn(delivered[0], expected[:2])
        self.assertEqual(delivered[1], expected[2])
        with database(self.home) as db:
            self.assertEqual(db.execute("SELECT COUNT(*) FROM Emails WHERE Deleted=1").fetchone()[0], 3)
            self.assertEqual(db.execute("SELECT COUNT(*) FROM Emails").fetchone()[0], 3)

    def test_stopping_with_an_open_connection_applies_its_deletions(self):
        self.dovecot.add_message(USER, message(APPROVED, "Kept open", ["body"]))
        port = self.start()
        self.check_in(port)
        client = self.login(port)
        self.assertEqual(client.stat()[0], 1)
        client.dele(1)
        self.stop()  # while the mail program is still connected
        with database(self.home) as db:
            self.assertEqual(db.execute("SELECT Deleted FROM Emails").fetchall(), [(1,)])

    def test_killed_while_redirected_next_start_reads_the_real_server_back(self):
        port = self.start()
        self.run_.stop(signal.SIGKILL)
        values = read_account_values(self.registry)
        self.assertEqual(values["POP3 Server"], MARKER_HOST)
        self.assertEqual(values["Tessivar Remote POP3 Server"], "127.0.0.1")
        self.assertEqual(values["Tessivar Remote POP3 Port"], self.dovecot.port)

        note = message(APPROVED, "After the crash", ["still here"])
        self.dovecot.add_message(USER, note)
        port = self.start()
        self.check_in(port)
        self.assertEqual(self.fetch_all(port), [note.split(b"\r\n")[:-1]])
        self.stop()
        with database(self.home) as db:
            self.assertEqual(db.execute("SELECT COUNT(*) FROM Accounts").fetchone()[0], 1)


if __name__ == "__main__":
    PROGRAM, DOVECOT_TEMPLATE = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
