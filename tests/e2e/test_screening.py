"""End to end: mail that real mailboxes hold, and faults a real user meets, through
`tessivar headless` between Dovecot and poplib. Run by CTest like test_local_server.py:

    test_screening.py PROGRAM DOVECOT_TEMPLATE [unittest arguments]"""

import glob
import os
import poplib
import signal
import socket
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_local_server  # noqa: E402
from tessivar_e2e import database, message, wait_for  # noqa: E402
from test_local_server import APPROVED, USER, PASSWORD, LocalServerTest  # noqa: E402


# poplib refuses lines over 2,048 bytes; the mail programs people use take any length.
poplib._MAXLINE = 1 << 20


def lines_of(data):
    return data.split(b"\r\n")[:-1]


class ScreeningTest(LocalServerTest):

    def store_files(self, pattern="*"):
        return glob.glob(os.path.join(self.home, "store", pattern))

    def test_kill_in_the_middle_of_a_pass_neither_duplicates_nor_loses_mail(self):
        count = 400
        sent = [message(APPROVED, "Message %d" % i, ["line %d of a longer body" % n for n in range(60)],
                        message_id="<m%d@friends.test>" % i) for i in range(count)]
        for data in sent:
            self.dovecot.add_message(USER, data)
        port = self.start()
        # A login starts the pass; the program is killed while the pass stores.
        with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
            s.recv(1000)
            s.sendall(("USER %s\r\nPASS %s\r\n" % (USER, PASSWORD)).encode())
            wait_for(lambda: len(self.store_files("*.eml")) >= 40, what="the pass to store some messages")
            self.run_.stop(signal.SIGKILL)
        self.assertGreater(self.dovecot.message_count(USER), 0, "the pass ended before the kill")

        port = self.start()
        self.check_in(port)
        delivered = self.fetch_all(port)
        self.stop()

        self.assertEqual(sorted(delivered), sorted(lines_of(data) for data in sent))
        self.assertEqual(self.store_files("*.tmp*"), [])
        with database(self.home) as db:
            self.assertEqual(db.execute("SELECT COUNT(*) FROM Emails").fetchone()[0], count)
            self.assertEqual(db.execute("SELECT COUNT(*) FROM RetrievedMessages").fetchone()[0], 0)

    def test_robot_mail_several_senders_and_long_lines_in_the_same_login(self):
        long_line = "x" * 50000
        several = message(APPROVED + ", someone@elsewhere.test", "From two", ["for both of us"])
        long_mail = message(APPROVED, "Long line", ["before", long_line, ".after"])
        bounce = message("MAILER-DAEMON@mx.friends.test", "Undelivered Mail Returned to Sender",
                         ["Your message to nobody@friends.test could not be delivered."])
        for data in (several, bounce, long_mail):
            self.dovecot.add_message(USER, data)
        port = self.start()

        # Approved mail fetched at a login is delivered in that same login.
        self.assertEqual(sorted(self.fetch_all(port)), sorted([lines_of(several), lines_of(long_mail)]))
        self.assertEqual(self.dovecot.message_count(USER), 0)
        self.stop()
        with database(self.home) as db:
            senders = [r[0] for r in db.execute(
                "SELECT s.Username || '@' || d.DomainName FROM Emails e JOIN EmailAddresses s ON "
                "s.ID = e.FromEmailAddressID JOIN DomainNames d ON d.ID = s.DomainNameID ORDER BY e.ID")]
            queued = [r[0] for r in db.execute("SELECT FromEmailAddress FROM EmailAddressesRequiringAuthorization")]
        # The robot's bounce is kept for the user, and the robot is never challenged.
        self.assertEqual(senders, [APPROVED, "MAILER-DAEMON@mx.friends.test", APPROVED])
        self.assertEqual(queued, [])

    def test_a_web_page_posting_to_the_local_port_changes_nothing(self):
        kept = message(APPROVED, "Keep me", ["important"])
        self.dovecot.add_message(USER, kept)
        port = self.start()
        self.check_in(port)
        body = "USER %s\r\nPASS %s\r\nDELE 1\r\nQUIT\r\n" % (USER, PASSWORD)
        request = ("POST / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: text/plain\r\n"
                   "Content-Length: %d\r\n\r\n%s" % (port, len(body), body)).encode()
        with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
            s.recv(1000)
            s.sendall(request)
            s.settimeout(20)
            while s.recv(1000):
                pass
        self.assertEqual(self.fetch_all(port), [lines_of(kept)])
        self.stop()


if __name__ == "__main__":
    test_local_server.PROGRAM, test_local_server.DOVECOT_TEMPLATE = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
