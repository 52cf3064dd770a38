"""IMAP peers for the end-to-end tests and benchmarks: Dovecot's IMAP server speaking TLS with a
throw-away authority, and imaplib playing another device (a phone) on the same mailbox."""

import email
import imaplib
import os
import re
import ssl
import subprocess

from tessivar_e2e import Dovecot, free_loopback_port

TEMPLATE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "dovecot-imap.conf.in")

AWAITING = "Awaiting Authorization"
BLOCKED = "Blocked"

# What Dovecot announces when a test wants a server without IDLE and MOVE.
PLAIN_CAPABILITIES = "IMAP4rev1 LITERAL+ SASL-IR LOGIN-REFERRALS ID ENABLE SORT SEARCHRES UIDPLUS LIST-EXTENDED " \
                     "SPECIAL-USE NAMESPACE"


class IMAPDovecot(Dovecot):
    """Dovecot's IMAP server: STARTTLS on `port`, IMAPS on `imaps_port`, with the given certificate.
    `capabilities`, when given, replaces what the server announces (e.g. PLAIN_CAPABILITIES)."""

    def __init__(self, certificate, key, capabilities=None):
        self.certificate, self.key, self.capabilities, self.imaps_port = certificate, key, capabilities, 0
        super().__init__(TEMPLATE)

    def _try_start(self, port):
        self.imaps_port = free_loopback_port()
        with open(os.path.join(self.directory, "tls.conf"), "w") as f:
            f.write("ssl = required\nssl_cert = <%s\nssl_key = <%s\nssl_min_protocol = TLSv1.2\n"
                    "service imap-login {\n  inet_listener imaps {\n    address = 127.0.0.1\n    port = %d\n"
                    "    ssl = yes\n  }\n}\n" % (self.certificate, self.key, self.imaps_port))
            if self.capabilities:
                f.write("imap_capability = %s\n" % self.capabilities)
        return super()._try_start(port)

    def set_uid_validity(self, user, folder, value):
        program = "/usr/bin/doveadm" if os.path.exists("/usr/bin/doveadm") else "doveadm"
        subprocess.run([program, "-c", os.path.join(self.directory, "dovecot.conf"), "mailbox", "update", "-u", user,
                        "--uid-validity", str(value), folder], check=True, capture_output=True)


def message_id_of(data):
    return email.message_from_bytes(data).get("Message-ID", "").strip()


class Phone:
    """Another client of the mailbox: appends, lists, moves, as a phone or a web mail page would."""

    def __init__(self, port, user, password, authority):
        context = ssl.create_default_context(cafile=authority)
        self.imap = imaplib.IMAP4_SSL("localhost", port, ssl_context=context, timeout=60)
        self.imap.login(user, password)

    def close(self):
        try:
            self.imap.logout()
        except (imaplib.IMAP4.error, OSError):
            pass

    def folder(self, ending):
        """The full name of the folder whose last level is `ending` ("INBOX" for the inbox)."""
        if ending == "INBOX":
            return "INBOX"
        status, lines = self.imap.list()
        for line in lines:
            text = line.decode() if isinstance(line, bytes) else str(line)
            match = re.match(r'\(([^)]*)\) (NIL|"(?:[^"\\]|\\.)*") (.*)$', text)
            if not match:
                continue
            name = match.group(3)
            if name.startswith('"'):
                name = re.sub(r'\\(.)', r'\1', name[1:-1])
            separator = match.group(2).strip('"')
            if name.split(separator)[-1] == ending and name != "INBOX":
                return name
        return None

    @staticmethod
    def _quoted(name):
        return '"' + name.replace("\\", "\\\\").replace('"', '\\"') + '"'

    def append(self, data, folder="INBOX"):
        status, answer = self.imap.append(self._quoted(folder), None, None, data)
        if status != "OK":
            raise AssertionError("APPEND failed: %r" % answer)

    def messages(self, ending):
        """{Message-ID: (uid, flags)} of the folder; {} when it does not exist."""
        name = self.folder(ending)
        if name is None:
            return {}
        status, _ = self.imap.select(self._quoted(name), readonly=True)
        if status != "OK":
            return {}
        status, data = self.imap.uid("FETCH", "1:*", "(FLAGS BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)])")
        found = {}
        for part in data:
            if not isinstance(part, tuple):
                continue
            uid = int(re.search(rb"UID (\d+)", part[0]).group(1))
            flags = re.search(rb"FLAGS \(([^)]*)\)", part[0])
            found[message_id_of(part[1])] = (uid, flags.group(1).decode() if flags else "")
        self.imap.close()
        return found

    def count(self, ending):
        return len(self.messages(ending))

    def move(self, message_id, from_ending, to_ending):
        source, target = self.folder(from_ending), self.folder(to_ending)
        uid = self.messages(from_ending)[message_id][0]
        self.imap.select(self._quoted(source))
        status, answer = self.imap.uid("MOVE", str(uid), self._quoted(target))
        if status != "OK":
            raise AssertionError("MOVE failed: %r" % answer)
        self.imap.close()
