"""The Debian package as a user gets it: scripts/package.sh builds it; lintian, desktop-file-validate,
appstreamcli and man check it; as root it is installed on this machine with apt-get, run by an
ordinary user with a fresh home, and removed with apt-get remove --purge. Run by CTest:

    test_package.py SOURCE_DIR WORK_DIR [unittest arguments]

WORK_DIR receives the package and the release build it is made from (or TESSIVAR_PACKAGE_BUILD_DIR
names that build's folder)."""

import gzip
import os
import pwd
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = ""
WORK = ""
BUILD = ""  # the release build the package is made from
PACKAGE = ""  # the .deb, built once for every test
MULTIARCH = subprocess.run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"], capture_output=True, text=True).stdout.strip()
PRIVATE_LIBDIR = "/usr/lib/%s/tessivar" % MULTIARCH  # the engine library, which the program alone loads
CONTENTS = ""  # the package's files, unpacked

ACCOUNT = ("Windows Registry Editor Version 5.00\n\n"
           "[HKEY_CURRENT_USER\\Software\\Microsoft\\Internet Account Manager\\Accounts\\00000001]\n"
           '"Account Name"="Home"\n'
           '"SMTP Email Address"="me@example.com"\n'
           '"POP3 User Name"="me"\n'
           '"POP3 Server"="pop.example.com"\n'
           '"POP3 Port"=dword:0000006e\n\n')


def read(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=600, **options)


def setUpModule():
    global PACKAGE, CONTENTS
    env = dict(os.environ, TESSIVAR_PACKAGE_DIR=WORK)
    env.setdefault("TESSIVAR_PACKAGE_BUILD_DIR", os.path.join(WORK, "build"))
    global BUILD
    BUILD = env["TESSIVAR_PACKAGE_BUILD_DIR"]
    built = subprocess.run(["bash", os.path.join(SOURCE, "scripts", "package.sh")], env=env, capture_output=True,
                           text=True, timeout=3000)
    if built.returncode != 0:
        raise RuntimeError("scripts/package.sh failed:\n" + built.stdout[-4000:] + built.stderr[-4000:])
    PACKAGE = built.stdout.strip().splitlines()[-1]
    CONTENTS = os.path.join(WORK, "contents")
    shutil.rmtree(CONTENTS, ignore_errors=True)
    subprocess.run(["dpkg-deb", "-x", PACKAGE, CONTENTS], check=True)


class PackageTest(unittest.TestCase):

    def field(self, name):
        return run("dpkg-deb", "-f", PACKAGE, name).stdout.strip()

    def test_the_package_is_named_for_its_version_and_architecture(self):
        version = re.search(r"project\(Tessivar VERSION (\S+)", read(os.path.join(SOURCE, "CMakeLists.txt")))
        arch = run("dpkg", "--print-architecture").stdout.strip()
        self.assertEqual(os.path.basename(PACKAGE), "tessivar_%s_%s.deb" % (version.group(1), arch))
        self.assertEqual(os.path.dirname(PACKAGE), os.path.realpath(WORK))
        self.assertEqual((self.field("Package"), self.field("Version")), ("tessivar", version.group(1)))

    def test_lintian_reports_no_error_and_no_warning(self):
        options = ["--allow-root"] if os.geteuid() == 0 else []
        result = run("lintian", *options, "--fail-on", "error,warning", PACKAGE)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertNotRegex(result.stdout, r"(?m)^[EW]: ")

    def test_files_are_where_debian_looks_for_them_owned_by_root(self):
        listing = run("dpkg-deb", "-c", PACKAGE).stdout.splitlines()
        files = {}
        for line in listing:
            mode, owner, _size, _date, _time, path = line.split(None, 5)
            self.assertEqual(owner, "root/root", line)
            files[path.lstrip(".")] = mode
        expected = {
            "/usr/bin/tessivar": "-rwxr-xr-x",
            "/usr/bin/tessivar-service": "-rwxr-xr-x",
            "/usr/lib/%s/tessivar/libtessivar_sqlite2.so" % MULTIARCH: "-rw-r--r--",
            "/usr/share/applications/tessivar.desktop": "-rw-r--r--",
            "/usr/share/icons/hicolor/scalable/apps/tessivar.svg": "-rw-r--r--",
            "/usr/share/metainfo/com.tessivar.Tessivar.metainfo.xml": "-rw-r--r--",
            "/usr/lib/systemd/user/tessivar.service": "-rw-r--r--",
            "/usr/share/man/man1/tessivar.1.gz": "-rw-r--r--",
            "/usr/share/man/man8/tessivar-service.8.gz": "-rw-r--r--",
            "/usr/share/doc/tessivar/copyright": "-rw-r--r--",
            "/usr/share/doc/tessivar/changelog.gz": "-rw-r--r--",
            "/usr/share/doc/tessivar/README.md.gz": "-rw-r--r--",
        }
        self.assertEqual({path: mode for path, mode in files.items() if not path.endswith("/")}, expected)

    def test_dependencies_are_computed_from_the_binaries(self):
        depends = [d.strip() for d in self.field("Depends").split(",")]
        names = {re.split(r"[ (]", d)[0] for d in depends}
        # The program's libraries, the service's, and the engine library's SQLite, with versions.
        for library in ("libc6", "libstdc++6", "libqt6widgets6", "libqt6webenginewidgets6", "libcurl4",
                        "libssl3", "libsodium23", "libsqlite3-0", "ca-certificates"):
            self.assertIn(library, names, depends)
        self.assertTrue(any(d.startswith("libc6 (>= ") for d in depends), depends)
        self.assertEqual(len(names), len(depends), "each package once: %s" % depends)

    def test_the_program_finds_its_engine_library_in_its_private_directory(self):
        dynamic = run("readelf", "-d", os.path.join(CONTENTS, "usr/bin/tessivar")).stdout
        self.assertRegex(dynamic, r"\(RUNPATH\) +Library runpath: \[\$ORIGIN/\.\./lib/%s/tessivar\]" % MULTIARCH)
        self.assertRegex(dynamic, r"FLAGS.*\bNOW\b")
        service = run("readelf", "-d", os.path.join(CONTENTS, "usr/bin/tessivar-service")).stdout
        self.assertNotIn("RUNPATH", service)

    def test_desktop_entry_metainfo_unit_and_manual_pages_validate(self):
        share = os.path.join(CONTENTS, "usr/share")
        desktop = os.path.join(share, "applications/tessivar.desktop")
        result = run("desktop-file-validate", desktop)
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))
        self.assertIn("\nExec=tessivar\n", read(desktop))
        metainfo = os.path.join(share, "metainfo/com.tessivar.Tessivar.metainfo.xml")
        result = run("appstreamcli", "validate", "--no-net", "--no-color", metainfo)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn('<launchable type="desktop-id">tessivar.desktop</launchable>', read(metainfo))
        unit = read(os.path.join(CONTENTS, "usr/lib/systemd/user/tessivar.service"))
        self.assertIn("\nExecStart=/usr/bin/tessivar headless\n", unit)
        for page in ("man1/tessivar.1.gz", "man8/tessivar-service.8.gz"):
            result = run("man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", os.path.join(share, "man", page),
                         env=dict(os.environ, MANWIDTH="80"))
            self.assertEqual((result.returncode, result.stderr), (0, ""), page)

    def rendered(self, page):
        result = run("man", "-l", os.path.join(CONTENTS, "usr/share/man", page), env=dict(os.environ, MANWIDTH="200"))
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    @staticmethod
    def quoted_names(pattern, *folders):
        """The names matching pattern that the sources of these folders quote (the variables they read)."""
        names = set()
        for folder in folders:
            for root, _dirs, files in os.walk(os.path.join(SOURCE, folder)):
                for name in files:
                    if name.endswith((".cpp", ".h")):
                        names |= set(re.findall('"(%s)"' % pattern, read(os.path.join(root, name))))
        return names

    def test_the_manual_pages_document_every_switch_command_option_and_variable(self):
        page = self.rendered("man1/tessivar.1.gz")
        help_text = run(os.path.join(BUILD, "bin", "tessivar"), "help").stdout
        # "  account create ADDRESS PASSWORD   create..." -> "account create"
        entries = [re.match(r"[a-z -]+?(?= [A-Z]|  |$)", line.strip()).group(0)
                   for line in help_text.splitlines() if re.match(r"  [a-z]", line)]
        self.assertEqual(len(entries), 14, help_text)
        for entry in entries:
            self.assertRegex(page, r"(?m)^ +%s\b" % re.escape(entry))
        variables = self.quoted_names(r"(?:TESSIVAR|XDG)_[A-Z_]+", "app", "base", "core", "mail", "clients", "service",
                                      "ui")
        self.assertIn("TESSIVAR_HOME", variables)
        for name in variables:
            self.assertRegex(page, r"(?m)^ +(\S+, )*%s\b" % name)
        for heading in ("SWITCHES", "COMMANDS", "ENVIRONMENT", "FILES", "EXIT STATUS"):
            self.assertRegex(page, r"(?m)^%s$" % heading)

        page = self.rendered("man8/tessivar-service.8.gz")
        usage = run(os.path.join(BUILD, "bin", "tessivar-service"), "--help").stdout
        options = set(re.findall(r"(?m)^ +(--[a-z-]+)", usage))
        self.assertGreater(len(options), 6, usage)
        for name in options | self.quoted_names(r"TESSIVAR_SERVICE_[A-Z_]+", "devservice"):
            self.assertRegex(page, r"(?m)^ +(\S+, )*%s\b" % re.escape(name))
        for heading in ("OPTIONS", "ENVIRONMENT", "FILES", "EXIT STATUS"):
            self.assertRegex(page, r"(?m)^%s$" % heading)


@unittest.skipUnless(os.geteuid() == 0, "installing the package needs root")
class InstalledPackageTest(unittest.TestCase):

    def as_user(self, *words, env=None):
        user = pwd.getpwnam("nobody")
        return subprocess.run(["/usr/bin/tessivar", *words], env=env or self.env, cwd=self.home, user=user.pw_uid,
                              group=user.pw_gid, extra_groups=[], capture_output=True, text=True, timeout=120)

    def user_file(self, path, text):
        user = pwd.getpwnam("nobody")
        folder = os.path.dirname(path)
        os.makedirs(folder, exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        for place in (folder, path):
            while place.startswith(self.home + "/"):
                os.chown(place, user.pw_uid, user.pw_gid)
                place = os.path.dirname(place)

    def test_installed_it_runs_as_the_user_with_data_under_their_home_and_purges_cleanly(self):
        if run("dpkg-query", "-W", "-f", "${Status}", "tessivar").stdout.endswith(" installed"):
            self.skipTest("a tessivar package is installed on this machine already; it is left alone")
        apt_env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        installed = run("apt-get", "install", "-y", "-q", "--no-install-recommends", PACKAGE, env=apt_env)
        try:
            self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)
            self.check_installed_program()
        finally:
            removed = run("apt-get", "remove", "--purge", "-y", "-q", "tessivar", env=apt_env)
        self.assertEqual(removed.returncode, 0, removed.stdout + removed.stderr)
        self.assertFalse(run("dpkg-query", "-W", "-f", "${Status}", "tessivar").stdout.endswith(" installed"))
        for path in ("/usr/bin/tessivar", PRIVATE_LIBDIR, "/usr/lib/systemd/user/tessivar.service"):
            self.assertFalse(os.path.lexists(path), path)
        # The user's mail is theirs: removing the program leaves it in their home.
        self.assertTrue(os.path.isfile(os.path.join(self.home, ".local/share/tessivar/Tessivar.db")))

    def check_installed_program(self):
        self.home = tempfile.mkdtemp(prefix="tessivar-package-home.")
        self.addCleanup(shutil.rmtree, self.home, True)
        user = pwd.getpwnam("nobody")
        os.chown(self.home, user.pw_uid, user.pw_gid)
        self.env = {"HOME": self.home, "PATH": "/usr/bin:/bin", "LANG": "C.UTF-8"}

        result = self.as_user("help")
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        self.assertTrue(result.stdout.startswith("usage: tessivar"), result.stdout)
        self.assertEqual(os.listdir(self.home), [], "help writes nothing")

        # The mail program's account in the user's settings folder; the data in their data folder,
        # which the program creates owner-only; nothing beside the shared executable.
        self.user_file(os.path.join(self.home, ".config/tessivar/HKEY_CURRENT_USER.reg"), ACCOUNT)
        result = self.as_user("accounts")
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        self.assertRegex(result.stdout, r"me@example\.com\s+pop\.example\.com:110\s+disabled")
        data = os.path.join(self.home, ".local/share/tessivar")
        database = os.path.join(data, "Tessivar.db")
        self.assertTrue(os.path.isfile(database), os.listdir(self.home))
        for path, mode in ((data, 0o700), (database, 0o600)):
            info = os.stat(path)
            self.assertEqual((info.st_uid, info.st_mode & 0o777 & ~mode), (user.pw_uid, 0), path)
        self.assertEqual(os.listdir(PRIVATE_LIBDIR), ["libtessivar_sqlite2.so"])
        self.assertFalse(os.path.exists("/usr/bin/Tessivar.db"))
        result = self.as_user("enable", "me@example.com")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

        # The XDG variables move both folders; TESSIVAR_HOME names one folder for everything.
        moved = dict(self.env, XDG_DATA_HOME=os.path.join(self.home, "data"),
                     XDG_CONFIG_HOME=os.path.join(self.home, "config"))
        self.user_file(os.path.join(self.home, "config/tessivar/HKEY_CURRENT_USER.reg"), ACCOUNT)
        result = self.as_user("accounts", env=moved)
        self.assertRegex(result.stdout, r"me@example\.com\s+pop\.example\.com:110\s+disabled")
        self.assertTrue(os.path.isfile(os.path.join(self.home, "data/tessivar/Tessivar.db")))
        self.user_file(os.path.join(self.home, "own/HKEY_CURRENT_USER.reg"), ACCOUNT)
        result = self.as_user("accounts", env=dict(self.env, TESSIVAR_HOME=os.path.join(self.home, "own")))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertTrue(os.path.isfile(os.path.join(self.home, "own/Tessivar.db")))
        result = self.as_user("accounts")
        self.assertRegex(result.stdout, r"me@example\.com\s+pop\.example\.com:110\s+enabled")

        if shutil.which("systemd-analyze"):
            runtime = os.path.join(self.home, "run")
            os.makedirs(runtime, mode=0o700)
            result = run("systemd-analyze", "--user", "verify", "/usr/lib/systemd/user/tessivar.service",
                         env=dict(os.environ, HOME=self.home, XDG_RUNTIME_DIR=runtime))
            self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))


if __name__ == "__main__":
    SOURCE, WORK = os.path.realpath(sys.argv[1]), os.path.realpath(sys.argv[2])
    os.makedirs(WORK, exist_ok=True)
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
