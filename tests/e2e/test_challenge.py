"""End to end: the challenge-response loop. Dovecot holds the user's mailbox, `tessivar-service`
(the reference web service) runs on loopback with an outbox, and `tessivar headless` screens one
mail program account for a Tessivar account created through the service. Run by CTest like
test_local_server.py:

    test_challenge.py PROGRAM DOVECOT_TEMPLATE [unittest arguments]"""

import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_local_server  # noqa: E402
from tessivar_e2e import add_domain, database, free_loopback_port, message, port_accepts, wait_for  # noqa: E402
from test_local_server import EMAIL, UNKNOWN, USER, LocalServerTest  # noqa: E402

SERVICE_USER, SERVICE_PASSWORD = EMAIL, "challenge-secret"


def lines_of(data):
    return data.split(b"\r\n")[:-1]


class ChallengeTest(LocalServerTest):

    def setUp(self):
        super().setUp()
        self.service_dir = tempfile.mkdtemp(prefix="tessivar-e2e-service.")
        self.addCleanup(shutil.rmtree, self.service_dir, True)
        self.outbox = os.path.join(self.service_dir, "outbox")
        self.service_port = free_loopback_port()
        self.service = None
        self.start_service()
        self.addCleanup(self.stop_service)
        os.environ["TESSIVAR_SERVICE_HOST"] = "127.0.0.1:%d" % self.service_port
        self.addCleanup(os.environ.pop, "TESSIVAR_SERVICE_HOST", None)
        self.command("account", "create", SERVICE_USER, SERVICE_PASSWORD)
        self.confirm_address()

    def confirm_address(self, address=None):
        """Follows the confirmation link the service mailed to the new account (the one of `address`
        when given), as its owner would: before that, the service sends no mail from the address."""
        def confirmation():
            for mail in self.outbox_mail():
                if address and ("\r\nTo: %s\r\n" % address).encode() not in mail and \
                        ("<%s>" % address).encode() not in mail:
                    continue
                link = re.search(rb"http://127\.0\.0\.1:\d+/confirm\.aspx\?token=[0-9a-f]+", mail)
                if link:
                    return link.group(0).decode()
            return None
        link = wait_for(confirmation, what="the address confirmation")
        with urllib.request.urlopen(link, timeout=30) as page:
            self.assertEqual(page.status, 200)
        token = urllib.parse.parse_qs(urllib.parse.urlparse(link).query)["token"][0]
        form = urllib.parse.urlencode({"token": token}).encode()
        with urllib.request.urlopen(urllib.parse.urljoin(link, "/confirm.aspx"), data=form, timeout=30) as answer:
            self.assertEqual(answer.status, 200)

    def start_service(self):
        program = os.path.join(os.path.dirname(test_local_server.PROGRAM), "tessivar-service")
        log = open(os.path.join(self.service_dir, "service.log"), "ab")
        self.service = subprocess.Popen(
            [program, "--port", str(self.service_port), "--database", os.path.join(self.service_dir, "service.db"),
             "--outbox", self.outbox], stdout=log, stderr=subprocess.STDOUT)
        log.close()
        wait_for(lambda: port_accepts(self.service_port), what="the service to listen")

    def stop_service(self):
        if self.service is not None:
            self.service.terminate()
            self.service.wait(30)
            self.service = None

    def command(self, *words):
        env = dict(os.environ, TESSIVAR_HOME=self.home, TESSIVAR_REGISTRY_DIR=self.registry)
        run = subprocess.run([test_local_server.PROGRAM, *words], env=env, capture_output=True, timeout=120)
        self.assertEqual(run.returncode, 0, run.stdout.decode(errors="replace") + run.stderr.decode(errors="replace"))

    def outbox_mail(self):
        mail = []
        for path in sorted(glob.glob(os.path.join(self.outbox, "*.eml"))):
            with open(path, "rb") as f:
                mail.append(f.read())
        return mail

    def requests(self):
        return [m for m in self.outbox_mail() if b"\r\nX-Tessivar: Authentication-Request\r\n" in m]

    def challenge(self):
        """Waits for the one authentication request; returns it and its link."""
        requests = wait_for(self.requests, timeout=90, what="the authentication request")
        self.assertEqual(len(requests), 1)
        request = requests[0]
        self.assertRegex(request, rb"\r\nMessage-I[Dd]: <[^>]*@auth\.tessivar\.com>\r\n")
        self.assertRegex(request, rb"\r\nTo: [^\r]*" + re.escape(UNKNOWN.encode()))
        link = re.search(rb"http://127\.0\.0\.1:\d+/authenticate\.aspx\?token=[A-Za-z0-9_%-]+", request)
        self.assertIsNotNone(link, request.decode(errors="replace"))
        return request, link.group(0).decode()

    def authenticate(self, link):
        """Opens the page as the sender would, then presses its button."""
        with urllib.request.urlopen(link, timeout=30) as page:
            self.assertEqual(page.status, 200)
            html = page.read().decode(errors="replace")
        token = urllib.parse.parse_qs(urllib.parse.urlparse(link).query)["token"][0]
        form = urllib.parse.urlencode({"token": token}).encode()
        action = re.search(r'<form[^>]*action="([^"]*)"', html)
        target = urllib.parse.urljoin(link, action.group(1)) if action and action.group(1) else link
        with urllib.request.urlopen(target, data=form, timeout=30) as answer:
            self.assertEqual(answer.status, 200)

    def soap(self, action, argument):
        """Posts one action to the service as another program would; returns the answer's text."""
        body = ('<?xml version="1.0" encoding="utf-8"?><soap:Envelope '
                'xmlns:soap="http://schemas.xmlsoap.org/soap/envelope/"><soap:Body><%s '
                'xmlns="http://services.tessivar.com/"><%sArgument>%s</%sArgument></%s></soap:Body>'
                '</soap:Envelope>') % (action, action, argument, action, action)
        request = urllib.request.Request("http://127.0.0.1:%d/Client.asmx" % self.service_port, body.encode(),
                                         {"Content-Type": "text/xml; charset=utf-8",
                                          "SOAPAction": "http://services.tessivar.com/" + action})
        with urllib.request.urlopen(request, timeout=30) as answer:
            return answer.read().decode()

    def held(self):
        with database(self.home) as db:
            return db.execute("SELECT COUNT(*) FROM EmailAddressesRequiringAuthorization").fetchone()[0]

    def test_an_unknown_sender_authenticates_and_the_notice_releases_the_mail(self):
        hello = message(UNKNOWN, "Hello", ["Do you remember me?"])
        self.dovecot.add_message(USER, hello)
        port = self.start()
        self.check_in(port)
        self.assertEqual(self.offered(port), 0)  # awaiting authorization
        _, link = self.challenge()
        self.authenticate(link)
        notices = wait_for(lambda: [m for m in self.outbox_mail()
                                    if b"\r\nX-Tessivar: Self-Authentication-Notification\r\n" in m],
                           what="the self-authentication notice")
        self.dovecot.add_message(USER, notices[0])
        self.check_in(port)
        delivered = wait_for(lambda: self.fetch_all(port), what="the released message")
        self.assertEqual(delivered, [lines_of(hello)])
        self.stop()

    def test_synchronisation_alone_releases_the_mail_and_a_bounce_blocks_its_sender(self):
        hello = message(UNKNOWN, "Hello", ["Do you remember me?"])
        bounced = "nobody@nowhere.test"
        self.dovecot.add_message(USER, hello)
        self.dovecot.add_message(USER, message(bounced, "Anyone there?", ["hello?"]))
        port = self.start()
        self.check_in(port)
        requests = wait_for(lambda: len(self.requests()) == 2 and self.requests(), timeout=90,
                            what="two authentication requests")
        to_unknown = [m for m in requests if UNKNOWN.encode() in m.split(b"\r\n\r\n")[0]][0]
        to_bounced = [m for m in requests if bounced.encode() in m.split(b"\r\n\r\n")[0]][0]
        self.authenticate(re.search(rb"http://[^\s\"<>]*authenticate\.aspx\?token=[A-Za-z0-9_%-]+",
                                    to_unknown).group(0).decode())
        self.stop()

        # The request to the other sender comes back from a mail robot, holding its header lines.
        header = to_bounced.split(b"\r\n\r\n")[0]
        bounce = (b"From: MAILER-DAEMON@mx.nowhere.test\r\nTo: " + EMAIL.encode() +
                  b"\r\nSubject: Undelivered Mail Returned to Sender\r\n\r\nThe mail could not be delivered.\r\n\r\n" +
                  header + b"\r\n\r\nbody of the request\r\n")
        self.dovecot.add_message(USER, bounce)
        # No notice: the first synchronisation of the next start brings the sender back authenticated.
        port = self.start()
        delivered = wait_for(lambda: self.fetch_all(port), what="the message released by synchronisation")
        self.assertEqual(delivered, [lines_of(hello)])
        # The bounce blocks its recipient once the service confirmed the returned request's id.
        wait_for(lambda: "The authentication request to " + bounced in self.run_.output(), timeout=90,
                 what="the service to confirm the returned request")
        self.stop()
        with database(self.home) as db:
            status = db.execute("SELECT s.ApprovalStatus FROM EmailAddresses s JOIN DomainNames d "
                                "ON d.ID = s.DomainNameID WHERE s.Username = 'nobody' AND "
                                "d.DomainName = 'nowhere.test'").fetchone()[0]
        self.assertEqual(status, "B")

    def test_a_stopped_service_leaves_the_queue_for_the_next_synchronisation(self):
        self.stop_service()
        self.dovecot.add_message(USER, message(UNKNOWN, "Hello", ["Do you remember me?"]))
        port = self.start()
        self.check_in(port)
        self.stop()
        self.assertEqual(self.held(), 1)
        self.start_service()
        self.start()
        self.challenge()
        time.sleep(3)  # the service answers right after it has written the request
        self.stop()
        self.assertEqual(self.held(), 0)

    def test_a_service_that_comes_back_gets_the_queue_within_the_retry_delay(self):
        """Nothing changes after the failed synchronisation: the retry alone sends the queue."""
        self.stop_service()
        self.dovecot.add_message(USER, message(UNKNOWN, "Hello", ["Do you remember me?"]))
        port = self.start()
        self.check_in(port)
        # The start's synchronisation fails, then the new sender's, five seconds on. (The database is
        # not read while the program runs: it keeps no busy time-out.)
        wait_for(lambda: self.run_.output().count("Server synchronization failed.") >= 2, timeout=60,
                 what="the failed synchronisation")
        self.start_service()
        back = time.monotonic()
        wait_for(lambda: "Server synchronization complete." in self.run_.output(), timeout=90,
                 what="the queue to reach the service")
        self.assertLess(time.monotonic() - back, 75)  # the first retry comes a minute after the failure
        self.stop()
        self.assertEqual(self.held(), 0)

    def test_forged_notice_request_and_bounce_change_nothing_and_a_genuine_notice_still_releases(self):
        hello = message(UNKNOWN, "Hello", ["Do you remember me?"])
        self.dovecot.add_message(USER, hello)
        port = self.start()
        self.check_in(port)
        _, link = self.challenge()

        # Anybody can write the service's headers: a notice in the sender's name, a request with an id
        # in the marker domain, and a bounce that names the sender. None of them is the service's word.
        notice = (b"From: " + UNKNOWN.encode() + b"\r\nTo: " + EMAIL.encode() +
                  b"\r\nSubject: Sender authenticated\r\nMessage-ID: <forged.1@unknown.test>\r\n"
                  b"X-Tessivar: Self-Authentication-Notification\r\n\r\nTrust me.\r\n")
        spam = message("offers@cheap.test", "Please confirm your message", ["Buy now!"],
                       message_id="<0123456789abcdef0123456789abcdef@auth.tessivar.com>")
        spam = spam.replace(b"\r\n\r\n", b"\r\nX-Tessivar: Authentication-Request\r\n\r\n", 1)
        bounce = (b"From: MAILER-DAEMON@mx.unknown.test\r\nTo: " + EMAIL.encode() +
                  b"\r\nSubject: Undelivered Mail\r\nIn-Reply-To: <fedcba9876543210fedcba9876543210@auth.tessivar.com>"
                  b"\r\n\r\nFailed.\r\n\r\nTo: " + UNKNOWN.encode() +
                  b"\r\nMessage-Id: <fedcba9876543210fedcba9876543210@auth.tessivar.com>\r\n"
                  b"X-Tessivar: Authentication-Request\r\n\r\nbody\r\n")
        for forged in (notice, spam, bounce):
            self.dovecot.add_message(USER, forged)
        self.check_in(port)
        # The service's answers come in the order of the messages: the notice's synchronisation first.
        wait_for(lambda: self.run_.output().count("could not be confirmed by the service") >= 2, timeout=60,
                 what="the service's answers")
        self.assertEqual(self.offered(port), 0)  # the held mail stays held, the spam is not delivered
        self.assertEqual(len(self.requests()), 1)  # and nobody was challenged back

        # The genuine notice releases the mail within seconds, without a restart.
        self.authenticate(link)
        genuine = wait_for(lambda: [m for m in self.outbox_mail()
                                    if b"\r\nX-Tessivar: Self-Authentication-Notification\r\n" in m],
                           what="the self-authentication notice")
        self.dovecot.add_message(USER, genuine[0])
        started = time.monotonic()
        self.check_in(port)
        delivered = wait_for(lambda: self.fetch_all(port), timeout=20, what="the released message")
        self.assertLess(time.monotonic() - started, 20)
        self.assertEqual(delivered, [lines_of(hello)])
        self.stop()
        with database(self.home) as db:
            self.assertEqual(db.execute("SELECT COUNT(*) FROM EmailAddresses WHERE ApprovalStatus='B' AND "
                                        "Username='stranger'").fetchone()[0], 0)
            # The notices were not stored; the forged request was, held.
            self.assertEqual(db.execute("SELECT COUNT(*) FROM Emails").fetchone()[0], 2)
            self.assertEqual(db.execute("SELECT ApprovalStatus FROM Emails WHERE Subject LIKE 'Please confirm%'")
                             .fetchone()[0], "?")

    def test_a_genuine_request_from_another_users_account_is_delivered_at_the_next_check(self):
        # Another Tessivar user, whom this user wrote to, challenges this user's address.
        other = "alice@other.test"
        credentials = "<Username>%s</Username><Password>other-secret</Password>" % other
        self.assertNotIn("ErrorMessage>", self.soap("AccountCreate", credentials + "<AdvertiserID/>"))
        self.confirm_address(other)
        rows = ("<EmailAddressesRequiringAuthorization><EmailAddressRequiringAuthorization><FromEmailAddress>%s"
                "</FromEmailAddress><FromDisplayName/><ToEmailAddress>%s</ToEmailAddress><ToDisplayName/>"
                "<Subject>Lunch?</Subject><Received>2026-12-07T10:15:00.0000000+01:00</Received>"
                "</EmailAddressRequiringAuthorization></EmailAddressesRequiringAuthorization>") % (EMAIL, other)
        self.assertNotIn("ErrorMessage>", self.soap("Synchronize", credentials + "<ClientDataVersion>0"
                                                    "</ClientDataVersion>" + rows))
        request = self.requests()[0]
        self.dovecot.add_message(USER, request)
        port = self.start()
        self.check_in(port)
        wait_for(lambda: "The service confirmed the authentication request from " + other in self.run_.output(),
                 timeout=60, what="the service to confirm the request")
        self.assertEqual(self.fetch_all(port), [lines_of(request)])
        self.assertEqual(len(self.requests()), 1)  # and alice's account was not challenged back
        self.stop()

    def test_approved_domains_lists_automatic_mail_and_robots_never_reach_the_outbox(self):
        with database(self.home) as db:
            add_domain(db, "partner.test", "A")
        colleague = message("ann@partner.test", "Minutes", ["Attached."])
        listed = message("alice@lists.test", "[tea] Friday", ["See you."])
        listed = listed.replace(b"\r\n\r\n", b"\r\nList-Id: <tea.lists.test>\r\n\r\n", 1)
        automatic = message("bob@away.test", "Out of office", ["Back on Monday."])
        automatic = automatic.replace(b"\r\n\r\n", b"\r\nAuto-Submitted: auto-replied\r\n\r\n", 1)
        shop = message("no-reply@shop.test", "Your order", ["Shipped."])
        person = message(UNKNOWN, "Hello", ["Do you remember me?"])
        for each in (colleague, listed, automatic, shop, person):
            self.dovecot.add_message(USER, each)
        port = self.start()
        self.check_in(port)
        self.challenge()  # exactly one request, to the person
        time.sleep(3)  # a later request would have been written by now
        self.assertEqual(len(self.requests()), 1)
        self.assertEqual(self.fetch_all(port), [lines_of(colleague)])
        output = self.run_.output()
        for sender in ("alice@lists.test", "bob@away.test", "no-reply@shop.test"):
            self.assertEqual(output.count("No authentication request was sent to " + sender), 1, output[-4000:])
        self.stop()
        with database(self.home) as db:
            held = db.execute("SELECT COUNT(*) FROM Emails WHERE Deleted=0").fetchone()[0]
        self.assertEqual(held, 4)


if __name__ == "__main__":
    test_local_server.PROGRAM, test_local_server.DOVECOT_TEMPLATE = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
