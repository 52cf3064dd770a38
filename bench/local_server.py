"""Benchmark: a POP3 mail program (poplib) retrieving and deleting 1,000 approved messages of about
20 KB through the local server of `tessivar headless`, against the same client doing the same
directly from Dovecot, in one run. Each round refills the Dovecot mailbox identically; for the local
server a login first lets the checker pass store the messages (not timed), then the timed session
retrieves and deletes them all.

    local_server.py PROGRAM DOVECOT_TEMPLATE [messages] [rounds]      (as root: Dovecot needs it)

Rounds (at least 5) alternate between Dovecot and the local server; each figure is reported as the
median with the lowest and highest round and their spread, and the comparison as the median of the
rounds' own ratios."""

import os
import poplib
import shutil
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from tessivar_e2e import (Dovecot, Tessivar, add_domain, add_sender, create_database, database,  # noqa: E402
                          port_accepts, redirected_port, wait_for, write_mail_program_account)

USER, PASSWORD, EMAIL = "benchuser", "benchpass", "bench@mail.test"
MINIMUM_ROUNDS = 5


def summary(values, unit=" s", decimals=3):
    """Median, lowest and highest value, and the spread between them relative to the median."""
    median = statistics.median(values)
    spread = (max(values) - min(values)) / median * 100 if median > 0 else 0
    return "%.*f%s (%.*f to %.*f, spread %.0f%%)" % (decimals, median, unit, decimals, min(values), decimals,
                                                    max(values), spread)


def make_message(index):
    """About 20 KB from one of 50 approved senders, with some lines that begin with a dot."""
    body = []
    size = 0
    line = 0
    while size < 20000:
        text = ("." if line % 37 == 0 else "") + ("%d-%d " % (index, line)) * 9
        body.append(text)
        size += len(text) + 2
        line += 1
    lines = ["From: Sender %d <sender%d@friends.test>" % (index % 50, index % 50), "To: " + EMAIL,
             "Subject: Message %d" % index, "Date: Mon, 2 Mar 2026 10:00:00 +0000",
             "Message-ID: <bench.%d@friends.test>" % index, ""] + body
    return ("\r\n".join(lines) + "\r\n").encode()


def fill(dovecot, messages):
    for message in messages:
        dovecot.add_message(USER, message)


def fetch_and_delete(port, expected):
    """Timed: login, STAT, LIST, RETR and DELE of every message, QUIT. Returns seconds."""
    started = time.perf_counter()
    client = poplib.POP3("127.0.0.1", port, timeout=300)
    client.user(USER)
    client.pass_(PASSWORD)
    count, _ = client.stat()
    client.list()
    received = 0
    for i in range(1, count + 1):
        received += client.retr(i)[2]
        client.dele(i)
    client.quit()
    elapsed = time.perf_counter() - started
    if count != expected:
        raise AssertionError("expected %d messages, got %d" % (expected, count))
    return elapsed, received


def main():
    program, template = sys.argv[1], sys.argv[2]
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
    rounds = max(int(sys.argv[4]) if len(sys.argv) > 4 else MINIMUM_ROUNDS, MINIMUM_ROUNDS)
    messages = [make_message(i) for i in range(count)]
    total = sum(len(m) for m in messages)
    print("%d messages, %.1f MB in all, %d rounds" % (count, total / 1e6, rounds))

    dovecot = Dovecot(template)
    home = tempfile.mkdtemp(prefix="tessivar-bench.")
    run = None
    try:
        dovecot.add_user(USER, PASSWORD)
        write_mail_program_account(home, EMAIL, USER, "127.0.0.1", dovecot.port)
        create_database(program, home, home)
        with database(home) as db:
            db.execute("UPDATE Accounts SET Enabled=1")
            add_domain(db, "friends.test", "A")
        run = Tessivar(program, home, home)
        port = wait_for(lambda: redirected_port(home), what="the account to be redirected")
        wait_for(lambda: port_accepts(port), what="the local server")

        direct, local, passes = [], [], []
        for round_ in range(rounds):
            fill(dovecot, messages)
            elapsed, received = fetch_and_delete(dovecot.port, count)
            direct.append(elapsed)

            fill(dovecot, messages)
            started = time.perf_counter()
            client = poplib.POP3("127.0.0.1", port, timeout=300)
            client.user(USER)
            client.pass_(PASSWORD)
            client.quit()
            wait_for(lambda: dovecot.message_count(USER) == 0, timeout=600, what="the pass")
            passes.append(time.perf_counter() - started)
            # The previous round's session is released (its deletions applied) before the next
            # session is built; wait until every stored message is offered.
            wait_for(lambda: offered(port) == count, timeout=600, what="the stored messages to be offered")
            elapsed, received_local = fetch_and_delete(port, count)
            local.append(elapsed)
            if received_local != received:
                raise AssertionError("the local server sent %d bytes, Dovecot %d" % (received_local, received))
            print("round %d: Dovecot %.3f s, local server %.3f s (checker pass %.3f s)"
                  % (round_ + 1, direct[-1], local[-1], passes[-1]))

        print("median of %d rounds: Dovecot %s, local server %s" % (rounds, summary(direct), summary(local)))
        print("ratio of each round: %s" % summary([l / d for l, d in zip(local, direct)], "", 2))
        code = run.stop()
        run = None
        if code != 0:
            raise AssertionError("the program ended with %d" % code)
    finally:
        if run is not None:
            run.stop()
        dovecot.close()
        shutil.rmtree(home, ignore_errors=True)


def offered(port):
    client = poplib.POP3("127.0.0.1", port, timeout=300)
    client.user(USER)
    client.pass_(PASSWORD)
    number = client.stat()[0]
    client.quit()
    return number


if __name__ == "__main__":
    main()
