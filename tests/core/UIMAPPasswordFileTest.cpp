// The owner-only password file: what a leak, a torn write or a damaged file would cost; and the
// move of a password between it and the Secret Service.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/UIMAPPasswordFile.h"
#include "core/UIMAPPasswords.h"
#include "core/UIMAPSecretService.h"

namespace {

class IMAPPasswordFileTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "tessivar-passwords-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_Dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(m_Dir); }

    static TIMAPServer Server(const std::string& address, const std::string& user = "user") {
        TIMAPServer server;
        server.EmailAddress = address;
        server.Host = "imap.example.org";
        server.Username = user;
        return server;
    }
    std::string Path() const { return m_Dir + "/secrets/imap-passwords"; }
    std::string Contents() const {
        std::ifstream in(Path());
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static unsigned Mode(const std::string& path) {
        struct stat status {};
        EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
        return status.st_mode & 07777;
    }

    std::string m_Dir;
};

TEST_F(IMAPPasswordFileTest, FileAndFolderAreOwnerOnlyWhateverTheUmask) {
    const mode_t old = ::umask(0);
    TIMAPPasswordFile(Path()).Store(Server("a@example.org"), "secret");
    ::umask(old);
    EXPECT_EQ(Mode(Path()), 0600u);
    EXPECT_EQ(Mode(m_Dir + "/secrets"), 0700u);

    // A folder made wider by hand is narrowed again at the next change.
    ::chmod((m_Dir + "/secrets").c_str(), 0755);
    TIMAPPasswordFile(Path()).Store(Server("a@example.org"), "other");
    EXPECT_EQ(Mode(m_Dir + "/secrets"), 0700u);
}

TEST_F(IMAPPasswordFileTest, AccountsKeepTheirOwnPasswordsAcrossReplaceAndForget) {
    const TIMAPPasswordFile file(Path());
    EXPECT_FALSE(file.Read(Server("a@example.org")));
    // Spaces, line breaks and percent signs must not split or shift an entry.
    const std::string awkward = "p a%20s\ns\tw\xc3\xa9%";
    file.Store(Server("a@example.org"), awkward);
    file.Store(Server("b@example.org"), "second");
    file.Store(Server("a@example.org", "other user"), "third");
    EXPECT_EQ(file.Read(Server("A@Example.ORG")), awkward);
    EXPECT_EQ(file.Read(Server("b@example.org")), "second");
    EXPECT_EQ(file.Read(Server("a@example.org", "other user")), "third");
    EXPECT_FALSE(file.Read(Server("a@example.org", "USER")));

    file.Store(Server("a@example.org"), "replaced");
    EXPECT_EQ(file.Read(Server("a@example.org")), "replaced");
    EXPECT_EQ(Contents().find("replaced"), Contents().rfind("replaced"));
    EXPECT_TRUE(file.Forget(Server("b@example.org")));
    EXPECT_FALSE(file.Forget(Server("b@example.org")));
    EXPECT_FALSE(file.Read(Server("b@example.org")));
    EXPECT_EQ(file.Read(Server("a@example.org", "other user")), "third");
    // Replaced whole through a temporary file: nothing is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_Dir + "/secrets"), {}), 1);
}

TEST_F(IMAPPasswordFileTest, DamagedFileNeverCrashesAndItsUnknownLinesSurvive) {
    const TIMAPPasswordFile file(Path());
    file.Store(Server("a@example.org"), "kept");
    {
        std::ofstream out(Path(), std::ios::app | std::ios::binary);
        out << "half a line\n%zz %4 %% x\n\n" << std::string("a\0b c d", 7) << "\nb@example.org imap.example.org user";
    }
    EXPECT_EQ(file.Read(Server("a@example.org")), "kept");
    EXPECT_FALSE(file.Read(Server("b@example.org")));
    file.Store(Server("c@example.org"), "new");
    EXPECT_NE(Contents().find("half a line\n"), std::string::npos);
    EXPECT_EQ(file.Read(Server("a@example.org")), "kept");

    // Something that is not a regular file is not read, and never makes a reader wait.
    std::filesystem::remove(Path());
    ASSERT_EQ(::mkfifo(Path().c_str(), 0600), 0);
    EXPECT_FALSE(file.Read(Server("a@example.org")));
    std::filesystem::remove(Path());
    std::filesystem::create_symlink("/etc/passwd", Path());
    EXPECT_FALSE(file.Read(Server("a@example.org")));
}

} // namespace

// The Secret Service path needs a session bus with an unlocked keyring, so it runs only when asked
// for (TESSIVAR_TEST_SECRET_SERVICE=1, e.g. under dbus-run-session with gnome-keyring-daemon
// unlocked), never against the keyring of whoever runs the tests.
namespace {

TEST(IMAPSecretServiceTest, PasswordGoesToTheKeyringAndLeavesTheFileAndBack) {
    if (std::getenv("TESSIVAR_TEST_SECRET_SERVICE") == nullptr)
        GTEST_SKIP() << "set TESSIVAR_TEST_SECRET_SERVICE=1 on a test bus with an unlocked keyring";
    std::string pattern = (std::filesystem::temp_directory_path() / "tessivar-keyring-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    ::setenv("TESSIVAR_HOME", (pattern + "/").c_str(), 1);
    TIMAPServer server;
    server.EmailAddress = "keyring@example.org";
    server.Host = "imap.example.org";
    server.Username = "me";

    ::setenv("TESSIVAR_PASSWORD_STORE", "file", 1);
    EXPECT_EQ(KeepIMAPPassword(server, "in the file"), TIMAPPasswordPlace::File);
    ::unsetenv("TESSIVAR_PASSWORD_STORE");
    EXPECT_EQ(KeepIMAPPassword(server, "in the keyring"), TIMAPPasswordPlace::SecretService);
    EXPECT_FALSE(TIMAPPasswordFile(IMAPPasswordFileName()).Read(server));
    EXPECT_EQ(LookupSecretPassword(server).Password, "in the keyring");
    EXPECT_EQ(ReadIMAPPassword(server), "in the keyring");

    // Back into the file: the keyring's copy must not shadow it.
    ::setenv("TESSIVAR_PASSWORD_STORE", "file", 1);
    EXPECT_EQ(KeepIMAPPassword(server, "file again"), TIMAPPasswordPlace::File);
    ::unsetenv("TESSIVAR_PASSWORD_STORE");
    EXPECT_EQ(ReadIMAPPassword(server), "file again");

    ForgetIMAPPassword(server);
    EXPECT_FALSE(ReadIMAPPassword(server));
    ::unsetenv("TESSIVAR_HOME");
    std::filesystem::remove_all(pattern);
}

} // namespace
