"""Peers and probes for the end-to-end tests and the local server benchmark: a throw-away Dovecot
POP3 mailbox on loopback, the registry file of a mail program account, the Tessivar process and a
look into its database. Dovecot needs root and the dovecot-pop3d package."""

import os
import pwd
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import tempfile
import time

MARKER_HOST = "127.1"
FIRST_LOCAL_PORT = 20001
ACCOUNT_KEY = r"Software\Microsoft\Internet Account Manager\Accounts\00000001"


def wait_for(condition, timeout=60.0, what="condition"):
    """Polls condition() until it returns something true; raises AssertionError after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


def free_loopback_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_accepts(port):
    with socket.socket() as s:
        s.settimeout(1)
        return s.connect_ex(("127.0.0.1", port)) == 0


class Dovecot:
    """Dovecot's POP3 server with its own configuration, users and maildirs in a fresh directory."""

    def __init__(self, template):
        self.directory = tempfile.mkdtemp(prefix="tessivar-e2e-dovecot.")
        os.chmod(self.directory, 0o755)
        os.makedirs(os.path.join(self.directory, "run"))
        os.makedirs(os.path.join(self.directory, "mail"))
        self._chown(os.path.join(self.directory, "mail"))
        open(os.path.join(self.directory, "users"), "w").close()
        self.process = None
        self.port = 0
        self._sequence = 0
        with open(template) as f:
            self._template = f.read()
        failure = ""
        for _ in range(10):
            failure = self._try_start(free_loopback_port())
            if not failure:
                return
        self.close()
        raise RuntimeError("Dovecot did not start: " + failure)

    @staticmethod
    def _chown(path):
        user = pwd.getpwnam("dovecot")
        os.chown(path, user.pw_uid, user.pw_gid)

    def _try_start(self, port):
        config = self._template.replace("@DIR@", self.directory).replace("@PORT@", str(port))
        path = os.path.join(self.directory, "dovecot.conf")
        with open(path, "w") as f:
            f.write(config)
        program = "/usr/sbin/dovecot" if os.path.exists("/usr/sbin/dovecot") else "dovecot"
        log = open(os.path.join(self.directory, "start.log"), "w")
        self.process = subprocess.Popen([program, "-F", "-c", path], stdout=log, stderr=subprocess.STDOUT)
        log.close()
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                self.process = None
                with open(os.path.join(self.directory, "start.log")) as f:
                    return f.read() or "exited"
            if port_accepts(port):
                self.port = port
                return ""
            time.sleep(0.02)
        self._stop()
        return "port %d never accepted connections" % port

    def _stop(self):
        if self.process is None:
            return
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process = None

    def close(self):
        self._stop()
        shutil.rmtree(self.directory, ignore_errors=True)

    def _maildir(self, user):
        return os.path.join(self.directory, "mail", user)

    def add_user(self, name, password):
        for folder in ("", "new", "cur", "tmp"):
            path = os.path.join(self._maildir(name), folder)
            os.makedirs(path, exist_ok=True)
            self._chown(path)
        with open(os.path.join(self.directory, "users"), "a") as f:
            f.write("%s:{PLAIN}%s\n" % (name, password))

    def add_message(self, user, data):
        """Drops a message (bytes) into the mailbox; messages are numbered in the order added."""
        self._sequence += 1
        name = "%010d.M%dP%d.tessivar" % (self._sequence, self._sequence, os.getpid())
        temporary = os.path.join(self._maildir(user), "tmp", name)
        with open(temporary, "wb") as f:
            f.write(data)
        self._chown(temporary)
        os.rename(temporary, os.path.join(self._maildir(user), "new", name))

    def message_count(self, user):
        return sum(len([n for n in os.listdir(os.path.join(self._maildir(user), folder))
                        if os.path.isfile(os.path.join(self._maildir(user), folder, n))])
                   for folder in ("new", "cur"))


def message(sender, subject, body_lines, recipient="user@mail.test", message_id=None):
    """A message as CR LF text (bytes)."""
    message_id = message_id or "<%s.%d@%s>" % (subject.replace(" ", "-"), time.monotonic_ns(), sender.split("@")[1])
    lines = ["From: " + sender, "To: " + recipient, "Subject: " + subject,
             "Date: Mon, 2 Mar 2026 10:00:00 +0000", "Message-ID: " + message_id, ""] + body_lines
    return ("\r\n".join(lines) + "\r\n").encode()


def make_certificates(directory):
    """A throw-away authority and a certificate it signs for localhost: (authority, cert, key)."""
    def openssl(*arguments):
        subprocess.run(["openssl", *arguments], cwd=directory, check=True, capture_output=True)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "30",
            "-subj", "/CN=Tessivar Test Authority", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr",
            "-subj", "/CN=localhost")
    with open(os.path.join(directory, "server.ext"), "w") as f:
        f.write("subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-out", "server.pem", "-days", "30", "-extfile", "server.ext")
    return tuple(os.path.join(directory, name) for name in ("ca.pem", "server.pem", "server.key"))


# ---- Registry --------------------------------------------------------------------------------------

def _reg_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def write_mail_program_account(registry_dir, email, user, server, port):
    """An Outlook Express account of the main identity in the current user's registry file."""
    text = ("Windows Registry Editor Version 5.00\n\n"
            "[HKEY_CURRENT_USER\\%s]\n"
            '"Account Name"="Mail"\n'
            '"SMTP Email Address"=%s\n'
            '"POP3 User Name"=%s\n'
            '"POP3 Server"=%s\n'
            '"POP3 Port"=dword:%08x\n\n') % (ACCOUNT_KEY, _reg_string(email), _reg_string(user), _reg_string(server), port)
    with open(os.path.join(registry_dir, "HKEY_CURRENT_USER.reg"), "w") as f:
        f.write(text)


def read_account_values(registry_dir):
    """The values of the account key: name -> str or int."""
    try:
        with open(os.path.join(registry_dir, "HKEY_CURRENT_USER.reg"), encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        return {}
    values = {}
    section = None
    for line in text.splitlines():
        if line.startswith("["):
            section = line[1:-1]
            continue
        if section != "HKEY_CURRENT_USER\\" + ACCOUNT_KEY:
            continue
        match = re.match(r'^"((?:[^"\\]|\\.)*)"=(.*)$', line)
        if not match:
            continue
        name, data = match.group(1), match.group(2)
        if data.startswith("dword:"):
            values[name] = int(data[6:], 16)
        elif data.startswith('"'):
            values[name] = re.sub(r"\\(.)", r"\1", data[1:-1])
    return values


def redirected_port(registry_dir):
    """The local port the account key points at, or None while it points elsewhere."""
    values = read_account_values(registry_dir)
    if values.get("POP3 Server") == MARKER_HOST:
        return values.get("POP3 Port")
    return None


# ---- The program and its database ------------------------------------------------------------------

class Tessivar:
    """One run of `tessivar headless` in its own home and registry directories."""

    def __init__(self, program, home, registry_dir, *switches):
        env = dict(os.environ, TESSIVAR_HOME=home, TESSIVAR_REGISTRY_DIR=registry_dir)
        self.output_path = os.path.join(home, "tessivar.out")
        self._output = open(self.output_path, "ab")
        self.process = subprocess.Popen([program, "headless", *switches], env=env, stdout=self._output,
                                        stderr=subprocess.STDOUT)

    def alive(self):
        return self.process.poll() is None

    def stop(self, sig=signal.SIGTERM, timeout=60):
        """Sends the signal and returns the exit code."""
        if self.alive():
            self.process.send_signal(sig)
        try:
            return self.process.wait(timeout)
        finally:
            self._output.close()

    def output(self):
        with open(self.output_path, "rb") as f:
            return f.read().decode(errors="replace")


def database(home):
    connection = sqlite3.connect(os.path.join(home, "Tessivar.db"), timeout=30)
    return connection


def create_database(program, home, registry_dir):
    """Runs the program once so that it creates its database and the account of the mail program
    account in the registry (disabled). The database is not read while the program runs (it keeps
    no busy time-out): a SIGTERM sent once the file exists lets the start-up finish, then ends the
    run."""
    run = Tessivar(program, home, registry_dir)
    try:
        wait_for(lambda: os.path.exists(os.path.join(home, "Tessivar.db")) or not run.alive(),
                 what="the first run to create its database")
    finally:
        code = run.stop()
    if code != 0:
        raise AssertionError("the first run ended with %s:\n%s" % (code, run.output()[-4000:]))
    with database(home) as db:
        if db.execute("SELECT COUNT(*) FROM Accounts").fetchone()[0] == 0:
            raise AssertionError("the first run stored no account:\n" + run.output()[-4000:])


def add_domain(db, name, status):
    db.execute("INSERT INTO DomainNames(DomainName, Notes, ApprovalStatus, Deleted, Modified) "
               "VALUES(?, '', ?, 0, 0)", (name, status))
    return db.execute("SELECT last_insert_rowid()").fetchone()[0]


def add_sender(db, user, domain_id, status):
    db.execute("INSERT INTO EmailAddresses(Username, DomainNameID, DisplayName, Notes, ApprovalStatus, "
               "AuthenticationStatus, Deleted, Modified) VALUES(?, ?, '', '', ?, '?', 0, 0)",
               (user, domain_id, status))
