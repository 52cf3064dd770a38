"""Benchmark: IMAP screening in place. `tessivar headless` screens 1,000 messages of about 20 KB from
unknown senders in a Dovecot IMAP mailbox (over TLS) and moves each to the held folder, side by side
in one run with a plain imaplib script that FETCHes and MOVEs the same messages; then the time from
another client's APPEND of one message to its disappearance from INBOX while the program watches.

    imap_screening.py PROGRAM [messages] [rounds]      (as root: Dovecot needs it)

Rounds (at least 5) alternate between the script and the program; each figure is the median with the
lowest and highest round and their spread, and the comparison the median of the rounds' ratios."""

import os
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import time
import imaplib

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests", "e2e"))
sys.path.insert(0, here)
from imap_e2e import IMAPDovecot, Phone  # noqa: E402
from local_server import summary  # noqa: E402
from tessivar_e2e import Tessivar, make_certificates, wait_for  # noqa: E402

PASSWORD = "benchpass"
MINIMUM_ROUNDS = 5


def make_message(index, round_):
    """About 20 KB from an unknown sender."""
    body, size, line = [], 0, 0
    while size < 20000:
        text = ("%d-%d " % (index, line)) * 9
        body.append(text)
        size += len(text) + 2
        line += 1
    lines = ["From: Stranger %d <s%d@r%d.unknown.test>" % (index, index, round_), "To: bench@mail.test",
             "Subject: Message %d" % index, "Date: Mon, 2 Mar 2026 10:00:00 +0000",
             "Message-ID: <bench.%d.%d@unknown.test>" % (round_, index), ""] + body
    return ("\r\n".join(lines) + "\r\n").encode()


def inbox_count(dovecot, user):
    return dovecot.message_count(user)


def script_round(port, authority, user):
    """Timed: the reference script's login, search, FETCH and MOVE of every message, logout."""
    started = time.perf_counter()
    imap = imaplib.IMAP4_SSL("localhost", port, ssl_context=ssl.create_default_context(cafile=authority))
    imap.login(user, PASSWORD)
    imap.select("INBOX")
    uids = imap.uid("SEARCH", "ALL")[1][0].split()
    for uid in uids:
        imap.uid("FETCH", uid, "(BODY.PEEK[])")
        imap.uid("MOVE", uid, "Held")
    imap.logout()
    return time.perf_counter() - started, len(uids)


def main():
    program = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    rounds = max(int(sys.argv[3]) if len(sys.argv) > 3 else MINIMUM_ROUNDS, MINIMUM_ROUNDS)
    home = tempfile.mkdtemp(prefix="tessivar-bench-imap.")
    certificates = os.path.join(home, "certificates")
    os.makedirs(certificates)
    authority, certificate, key = make_certificates(certificates)
    shutil.copy(authority, os.path.join(home, "TrustedCertificates.pem"))
    dovecot = IMAPDovecot(certificate, key)
    environment = dict(os.environ, TESSIVAR_HOME=home, TESSIVAR_REGISTRY_DIR=home)
    run = None
    try:
        def add_account(user):
            added = subprocess.run([program, "imap", "add", user + "@mail.test", "localhost:%d" % dovecot.imaps_port,
                                    user], env=environment, input=(PASSWORD + "\n").encode(), capture_output=True)
            if added.returncode != 0:
                raise AssertionError("imap add failed: " + (added.stdout + added.stderr).decode())

        print("%d messages of about 20 KB from unknown senders, %d rounds" % (count, rounds))
        # Each round screens fresh mailboxes (its own users), so that every round starts alike; the
        # previous round's account is removed, so that the program watches one mailbox at a time.
        script, ours = [], []
        for round_ in range(rounds):
            mine, reference = "bench%d" % round_, "script%d" % round_
            for user in (mine, reference):
                dovecot.add_user(user, PASSWORD)
            phone = Phone(dovecot.imaps_port, reference, PASSWORD, authority)
            phone.imap.create("Held")
            phone.close()
            if round_ > 0:
                subprocess.run([program, "imap", "remove", "bench%d@mail.test" % (round_ - 1)], env=environment,
                               capture_output=True, check=True)
            add_account(mine)

            messages = [make_message(i, round_) for i in range(count)]
            for data in messages:
                dovecot.add_message(reference, data)
            elapsed, moved = script_round(dovecot.imaps_port, authority, reference)
            if moved != count:
                raise AssertionError("the script moved %d messages" % moved)
            script.append(elapsed)

            for data in messages:
                dovecot.add_message(mine, data)
            started = time.perf_counter()
            run = Tessivar(program, home, home)
            wait_for(lambda: inbox_count(dovecot, mine) == 0 or not run.alive(), timeout=900, what="the screening")
            ours.append(time.perf_counter() - started)
            if run.stop() != 0:
                raise AssertionError("the program ended badly:\n" + run.output()[-4000:])
            run = None
            print("round %d: script %.3f s, tessivar %.3f s" % (round_ + 1, script[-1], ours[-1]))

        print("median of %d rounds: script %s, tessivar %s" % (rounds, summary(script), summary(ours)))
        print("ratio of each round (tessivar / script): %s" % summary([o / s for o, s in zip(ours, script)], "", 2))

        # Arrival to move: the program watches the mailbox; another client appends one message.
        run = Tessivar(program, home, home)
        mine = "bench%d" % (rounds - 1)
        phone = Phone(dovecot.imaps_port, mine, PASSWORD, authority)
        wait_for(lambda: phone.folder("Awaiting Authorization") is not None, what="the program to watch")
        time.sleep(2)
        latencies = []
        for index in range(max(rounds, 10)):
            appended = time.perf_counter()
            phone.append(make_message(index, 1000 + index))
            wait_for(lambda: inbox_count(dovecot, mine) == 0, timeout=60, what="the message to be moved")
            latencies.append(time.perf_counter() - appended)
            time.sleep(0.3)
        phone.close()
        print("arrival to move (APPEND to gone from INBOX), %d messages: %s" % (len(latencies), summary(latencies)))
        if run.stop() != 0:
            raise AssertionError("the program ended badly:\n" + run.output()[-4000:])
        run = None
    finally:
        if run is not None:
            run.stop(signal.SIGKILL)
        dovecot.close()
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    main()
