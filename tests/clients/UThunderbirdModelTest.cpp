// Thunderbird accounts as the model sees them: linked to screened accounts, redirected at start and
// restored at stop, recognised after a kill, and what the user must know in the activity log.

#include "clients/UThunderbirdMailClient.h"
#include "clients/UThunderbirdProfileFiles.h"
#include "clients/UThunderbirdProfileLock.h"
#include "clients/UThunderbirdWatcher.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarLogItem.h"
#include "mail/UTessivarPOP3Server.h"

#include "tests/clients/ThunderbirdTestSupport.h"
#include "tests/core/ModelFixture.h"

#include <optional>
#include <thread>

namespace {

class UThunderbirdModel : public TModelTest {
protected:
    void SetUp() override {
        TModelTest::SetUp();
        m_Roots = std::make_unique<TThunderbirdRoots>(); // after the fixture has left them out
        WriteTextFile(m_Roots->Packaged() + "/profiles.ini", "[Profile0]\nName=default\nIsRelative=1\nPath=p.default\n");
        WriteTextFile(Profile() + "/prefs.js", R"(user_pref("mail.account.account1.identities", "id1");
user_pref("mail.account.account1.server", "server1");
user_pref("mail.account.account2.identities", "id2");
user_pref("mail.account.account2.server", "server2");
user_pref("mail.accountmanager.accounts", "account1,account2");
user_pref("mail.identity.id1.useremail", "me@example.test");
user_pref("mail.identity.id2.useremail", "tls@example.test");
user_pref("mail.server.server1.hostname", "pop.example.test");
user_pref("mail.server.server1.name", "Mine");
user_pref("mail.server.server1.type", "pop3");
user_pref("mail.server.server1.userName", "me");
user_pref("mail.server.server2.authMethod", 10);
user_pref("mail.server.server2.hostname", "pop.tls.test");
user_pref("mail.server.server2.name", "Secure");
user_pref("mail.server.server2.socketType", 2);
user_pref("mail.server.server2.type", "pop3");
user_pref("mail.server.server2.userName", "me");
)");
        AddAccountRow(1, "me@example.test", 1);
    }
    void TearDown() override {
        TModelTest::TearDown();
        m_Roots.reset();
    }

    std::string Profile() const { return m_Roots->Packaged() + "/p.default"; }
    // Host and port Thunderbird takes at its next start.
    std::string Next() const {
        TProfilePrefs files(Profile());
        std::string error;
        if (!files.Load(error))
            return error;
        return files.EffectiveString("mail.server.server1.realhostname").value_or("pop.example.test") + ":" +
               std::to_string(files.EffectiveInteger("mail.server.server1.port").value_or(110));
    }
    bool Logged(const std::string& part) {
        for (int i = 0; i < Model().LogItemCount(); ++i)
            if (Model().LogItems(i).Details().find(part) != std::string::npos)
                return true;
        return false;
    }

    std::unique_ptr<TThunderbirdRoots> m_Roots;
};

} // namespace

TEST_F(UThunderbirdModel, ScreenedAccountIsRedirectedAtStartAndRestoredAtStop) {
    Model().Startup();
    ASSERT_EQ(Model().AccountCount(), 2); // the account of the OAuth2 server is added, disabled
    TTessivarAccount& account = Model().Accounts(0);
    ASSERT_EQ(account.MailClientAccounts().size(), 1u);
    EXPECT_EQ(account.MailClientAccounts()[0]->Client->Name, "Mozilla Thunderbird");
    EXPECT_EQ(Next(), std::string(LocalMarkerHost) + ":" + std::to_string(account.Server().Port()));
    EXPECT_FALSE(Logged("restart"));
    Model().Shutdown();
    EXPECT_EQ(Next(), "pop.example.test:110");
}

TEST_F(UThunderbirdModel, KilledWhileRedirectedTheNextStartFindsTheSameAccountAndTheStopRestoresIt) {
    Model().Startup();
    NewModel(); // the first run ends without its stop, as a kill would end it
    Model().Startup();
    EXPECT_EQ(Model().AccountCount(), 2);
    EXPECT_EQ(Model().Accounts(0).MailClientAccounts().size(), 1u);
    EXPECT_EQ(Next(), std::string(LocalMarkerHost) + ":" + std::to_string(Model().Accounts(0).Server().Port()));
    Model().Shutdown();
    EXPECT_EQ(Next(), "pop.example.test:110");
}

TEST_F(UThunderbirdModel, TheActivityLogSaysWhatTheUserMustDo) {
    Db().Execute("INSERT INTO Accounts(ID, EmailAddress, RemoteServer, RemotePort, Username, Enabled) "
                 "VALUES(2, 'tls@example.test', 'pop.tls.test', 110, 'me', 1)");
    TRunningThunderbird thunderbird(Profile());
    Model().Startup();
    EXPECT_TRUE(Logged("\"Secure\" is not screened: its way of signing in gives Tessivar no password"));
    EXPECT_EQ(Model().Accounts(1).ConnectionSecurity(), TConnectionSecurity::STLS); // for the checker
    EXPECT_TRUE(Logged("Thunderbird is running: restart it so that its account \"Mine\" fetches its mail through"));
    Model().Shutdown();
    // Restarted Thunderbird would still take the local server from what it read; user.js says otherwise.
    EXPECT_EQ(Next(), "pop.example.test:110");
}

namespace {

// Sorted as Thunderbird writes it, with default ports stated explicitly, two POP3 accounts.
const std::string SortedPrefs = R"(// Mozilla User Preferences

user_pref("mail.account.account1.identities", "id1");
user_pref("mail.account.account1.server", "server1");
user_pref("mail.account.account2.identities", "id2");
user_pref("mail.account.account2.server", "server2");
user_pref("mail.accountmanager.accounts", "account1,account2");
user_pref("mail.identity.id1.useremail", "me@example.test");
user_pref("mail.identity.id2.useremail", "tls@example.test");
user_pref("mail.server.server1.hostname", "pop.example.test");
user_pref("mail.server.server1.name", "Mine");
user_pref("mail.server.server1.port", 110);
user_pref("mail.server.server1.type", "pop3");
user_pref("mail.server.server1.userName", "me");
user_pref("mail.server.server2.hostname", "pop.tls.test");
user_pref("mail.server.server2.name", "Secure");
user_pref("mail.server.server2.port", 995);
user_pref("mail.server.server2.socketType", 3);
user_pref("mail.server.server2.type", "pop3");
user_pref("mail.server.server2.userName", "me");
)";
// The user's own, without a final newline, pinning the security of a screened server.
const std::string PinningUserFile = "// mine\r\nuser_pref(\"mail.server.server2.socketType\", 3);\r\n"
                                    "user_pref(\"mail.check_all_imap_folders_for_new\", true);";

class UThunderbirdModelFiles : public UThunderbirdModel {
protected:
    void SetUp() override {
        UThunderbirdModel::SetUp();
        WriteTextFile(Profile() + "/prefs.js", SortedPrefs);
        WriteTextFile(Profile() + "/user.js", PinningUserFile);
        Db().Execute("INSERT INTO Accounts(ID, EmailAddress, RemoteServer, RemotePort, Username, Enabled) "
                     "VALUES(2, 'tls@example.test', 'pop.tls.test', 995, 'me', 1)");
    }
    void ExpectUntouched() {
        EXPECT_EQ(ReadTextFile(Profile() + "/prefs.js"), SortedPrefs);
        EXPECT_EQ(ReadTextFile(Profile() + "/user.js"), PinningUserFile);
        EXPECT_FALSE(std::filesystem::exists(Profile() + "/prefs.js.tessivar-restore"));
    }
    std::string Effective(const std::string& name) {
        TProfilePrefs files(Profile());
        std::string error;
        const TPrefValue* value = files.Load(error) ? files.Effective(name) : nullptr;
        return value ? FormatPrefValue(*value) : "(none)";
    }
};

} // namespace

TEST_F(UThunderbirdModelFiles, StopAndKillThenStopGiveBothFilesBackByteForByte) {
    // A second profile whose prefs.js holds a NUL in a host name is damaged: told, never written.
    const std::string damaged = "user_pref(\"mail.accountmanager.accounts\", \"account1\");\n"
                                "user_pref(\"mail.server.server1.hostname\", \"pop.ex" + std::string(1, '\0') +
                                "ample.test\");\n";
    WriteTextFile(m_Roots->Packaged() + "/profiles.ini", "[Profile0]\nName=default\nIsRelative=1\nPath=p.default\n"
                                                         "[Profile1]\nName=zeroed\nIsRelative=1\nPath=z.zeroed\n");
    WriteTextFile(m_Roots->Packaged() + "/z.zeroed/prefs.js", damaged);

    Model().Startup();
    EXPECT_EQ(Next(), std::string(LocalMarkerHost) + ":" + std::to_string(Model().Accounts(0).Server().Port()));
    EXPECT_EQ(Effective("mail.server.server2.socketType"), "0") << "the user's pinned line must not win";
    EXPECT_EQ(Effective("mail.server.server2.port"), std::to_string(Model().Accounts(1).Server().Port()));
    EXPECT_EQ(ReadTextFile(Profile() + "/prefs.js.tessivar-backup"), SortedPrefs) << "one backup, before any change";
    EXPECT_TRUE(Logged("z.zeroed/prefs.js: NUL character in line 2"));
    Model().Shutdown();
    ExpectUntouched();
    EXPECT_EQ(ReadTextFile(m_Roots->Packaged() + "/z.zeroed/prefs.js"), damaged);

    // Killed while redirected, started again and stopped.
    NewModel();
    Model().Startup();
    NewModel();
    Model().Startup();
    EXPECT_EQ(Effective("mail.server.server2.realhostname"), "\"127.1\"");
    Model().Shutdown();
    ExpectUntouched();
}

// Stopped while a Thunderbird that took the local server runs: user.js carries the real server for
// its next start, and leaves user.js once Thunderbird has taken it, so that it never overrides a
// setting the user changes later.
TEST_F(UThunderbirdModelFiles, RealServerWaitingInUserFileLeavesItOnceThunderbirdHasTakenIt) {
    Model().Startup();
    const std::string redirected = ReadTextFile(Profile() + "/prefs.js");
    auto thunderbird = std::make_unique<TRunningThunderbird>(Profile());
    Model().Shutdown();
    EXPECT_EQ(Effective("mail.server.server1.realhostname"), "\"pop.example.test\"");
    EXPECT_EQ(Effective("mail.server.server2.port"), "995");
    // Thunderbird ends writing what it held, and starts again, taking user.js.
    thunderbird->Exit();
    WriteTextFile(Profile() + "/prefs.js", redirected);
    thunderbird = std::make_unique<TRunningThunderbird>(Profile());

    NewModel();
    Model().Startup();
    Model().Shutdown();
    thunderbird->Exit();
    EXPECT_EQ(ReadTextFile(Profile() + "/user.js"), PinningUserFile);
    EXPECT_EQ(ReadTextFile(Profile() + "/prefs.js"), SortedPrefs);
}

namespace {

const TWatchTimes Quick = {std::chrono::milliseconds(10), std::chrono::milliseconds(10),
                           std::chrono::milliseconds(400)};

// Stopped while a Thunderbird that took the local server runs: the real values wait in user.js.
class UThunderbirdModelWatcher : public UThunderbirdModelFiles {
protected:
    void StopWhileThunderbirdHoldsTheLocalServer() {
        Model().Startup();
        m_Redirected = ReadTextFile(Profile() + "/prefs.js");
        m_Thunderbird = std::make_unique<TRunningThunderbird>(Profile());
        Model().Shutdown();
        ASSERT_EQ(WatchProfile(Profile()), TWatchResult::Waiting);
        EXPECT_NE(ReadTextFile(Profile() + "/user.js"), PinningUserFile) << "the fallback for Thunderbird's next start";
    }
    // Thunderbird's exit: prefs.js rewritten from what it holds, then the lock released.
    void ThunderbirdExitsWriting(const std::string& prefs) {
        WriteTextFile(Profile() + "/prefs.js", prefs);
        m_Thunderbird->Exit();
    }

    std::string m_Redirected;
    std::unique_ptr<TRunningThunderbird> m_Thunderbird;
};

} // namespace

TEST_F(UThunderbirdModelWatcher, WatcherGivesBothFilesBackAfterThunderbirdsLastWrite) {
    StopWhileThunderbirdHoldsTheLocalServer();
    int exitCode = -1;
    std::thread watcher([&] { exitCode = RunThunderbirdWatcher(Profile(), Quick); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(exitCode, -1) << "the watcher must wait while Thunderbird holds the profile";
    EXPECT_EQ(RunThunderbirdWatcher(Profile(), Quick), 0) << "a second one ends at once";
    ThunderbirdExitsWriting(m_Redirected);
    watcher.join();
    EXPECT_EQ(exitCode, 0);
    ExpectUntouched();
    EXPECT_EQ(ReadTextFile(Profile() + "/prefs.js.tessivar-backup"), SortedPrefs);
    EXPECT_EQ(WatchProfile(Profile()), TWatchResult::Done);
}

// A port the user set in Thunderbird's settings while it held the local server is the user's; the
// local host it still named is not.
TEST_F(UThunderbirdModelWatcher, PortTheUserChangedInThunderbirdSurvivesTheRestore) {
    StopWhileThunderbirdHoldsTheLocalServer();
    TPrefsDocument changed = *TPrefsDocument::Parse(m_Redirected);
    changed.Set("mail.server.server1.port", TPrefValue::FromInteger(2110));
    ThunderbirdExitsWriting(changed.Text());
    ASSERT_EQ(WatchProfile(Profile()), TWatchResult::Restored);
    EXPECT_EQ(ReadTextFile(Profile() + "/user.js"), PinningUserFile);
    EXPECT_EQ(Next(), "pop.example.test:2110");
    EXPECT_EQ(Effective("mail.server.server1.realhostname"), "(none)");
    EXPECT_EQ(Effective("mail.server.server2.port"), "995");
    EXPECT_EQ(Effective("mail.server.server2.socketType"), "3");
}

// A run started while the watcher waits owns the profile: it redirects again, and the watcher,
// finding nothing waiting, never touches the files. The watcher and a run never write at once.
TEST_F(UThunderbirdModelWatcher, RunStartedWhileTheWatcherWaitsTakesTheProfileOver) {
    StopWhileThunderbirdHoldsTheLocalServer();
    std::optional<TProfileLock> running(std::in_place, Profile());
    m_Thunderbird->Exit();
    TWatchResult result = TWatchResult::Waiting;
    std::thread watcher([&] { result = WatchProfile(Profile()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_NE(ReadTextFile(Profile() + "/user.js"), PinningUserFile) << "written while another held the lock";
    running.reset();
    watcher.join();
    EXPECT_EQ(result, TWatchResult::Restored);
    ExpectUntouched();

    // Once more, a new run starting before Thunderbird has gone.
    StopWhileThunderbirdHoldsTheLocalServer();
    NewModel();
    Model().Startup();
    const std::string redirected = ReadTextFile(Profile() + "/prefs.js");
    EXPECT_EQ(WatchProfile(Profile()), TWatchResult::Done);
    m_Thunderbird->Exit();
    EXPECT_EQ(WatchProfile(Profile()), TWatchResult::Done);
    EXPECT_EQ(ReadTextFile(Profile() + "/prefs.js"), redirected);
    EXPECT_EQ(Next(), std::string(LocalMarkerHost) + ":" + std::to_string(Model().Accounts(0).Server().Port()));
    Model().Shutdown();
    ExpectUntouched();
}

// At a logout every process of the session is told to end, Thunderbird and the watcher alike: the
// watcher gives Thunderbird a short while to write prefs.js and go, and no more.
TEST_F(UThunderbirdModelWatcher, WatcherToldToEndStillSeesAThunderbirdEndingWithIt) {
    StopWhileThunderbirdHoldsTheLocalServer();
    volatile std::sig_atomic_t ending = 1;
    int exitCode = -1;
    std::thread watcher([&] { exitCode = RunThunderbirdWatcher(Profile(), Quick, &ending); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ThunderbirdExitsWriting(m_Redirected);
    watcher.join();
    EXPECT_EQ(exitCode, 0);
    ExpectUntouched();

    // A Thunderbird that stays: the watcher ends after its grace, user.js keeping the real server.
    StopWhileThunderbirdHoldsTheLocalServer();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunThunderbirdWatcher(Profile(), Quick, &ending), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(Next(), "pop.example.test:110");
}
