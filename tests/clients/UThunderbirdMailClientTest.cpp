// The Thunderbird driver on profiles written as Thunderbird writes them: discovery across profiles
// and editions, redirect and restore that keep the rest of prefs.js, the running Thunderbird in every
// order of starts and stops, and damaged files left alone.

#include "clients/UThunderbirdMailClient.h"

#include "clients/UThunderbirdProfileFiles.h"
#include "clients/UThunderbirdProfiles.h"
#include "clients/UThunderbirdRedirectRecord.h"
#include "tests/clients/ThunderbirdTestSupport.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

namespace {

// IMAP and POP3 accounts, non-ASCII names among them, and the local folders.
const std::string WorkPrefs = R"(// Mozilla User Preferences

user_pref("mail.account.account1.identities", "id1");
user_pref("mail.account.account1.server", "server1");
user_pref("mail.account.account2.identities", "id2,id4");
user_pref("mail.account.account2.server", "server2");
user_pref("mail.account.account3.identities", "id3");
user_pref("mail.account.account3.server", "server3");
user_pref("mail.account.account4.server", "server4");
user_pref("mail.accountmanager.accounts", "account1,account2,account3,account4");
user_pref("mail.identity.id2.fullName", "Jürgen Müller");
user_pref("mail.identity.id2.useremail", "juergen@example.test");
user_pref("mail.identity.id3.useremail", "secure@example.test");
user_pref("mail.server.server1.hostname", "imap.example.test");
user_pref("mail.server.server1.type", "imap");
user_pref("mail.server.server2.hostname", "pop.example.test");
user_pref("mail.server.server2.name", "B\u00fcro \"Nord\"");
user_pref("mail.server.server2.type", "pop3");
user_pref("mail.server.server2.userName", "jürgen");
user_pref("mail.server.server3.hostname", "pop.secure.test");
user_pref("mail.server.server3.name", "Secure");
user_pref("mail.server.server3.socketType", 3);
user_pref("mail.server.server3.type", "pop3");
user_pref("mail.server.server4.type", "none");
)";

// One POP3 account whose host and user name were changed in the account settings.
const std::string HomePrefs = R"(user_pref("mail.account.account1.identities", "id1");
user_pref("mail.account.account1.server", "server1");
user_pref("mail.accountmanager.accounts", "account1");
user_pref("mail.identity.id1.useremail", "home@example.test");
user_pref("mail.server.server1.authMethod", 4);
user_pref("mail.server.server1.hostname", "pop.old.test");
user_pref("mail.server.server1.port", 1110);
user_pref("mail.server.server1.realhostname", "pop.home.test");
user_pref("mail.server.server1.realuserName", "home");
user_pref("mail.server.server1.type", "pop3");
)";

const std::string FlatPrefs = R"(user_pref("mail.account.account1.identities", "id1");
user_pref("mail.account.account1.server", "server1");
user_pref("mail.accountmanager.accounts", "account1");
user_pref("mail.identity.id1.useremail", "flat@example.test");
user_pref("mail.server.server1.hostname", "pop.flat.test");
user_pref("mail.server.server1.name", "flat@example.test");
user_pref("mail.server.server1.type", "pop3");
)";

const std::string UserLines = "// mine\nuser_pref(\"mail.check_all_imap_folders_for_new\", true);\n";

// The file without the lines that keep the real server.
std::string WithoutKeptLines(const std::string& text) {
    std::string kept;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        kept += line.find("tessivar_remote_") == std::string::npos ? line + "\n" : "";
    return kept;
}

class UThunderbirdMailClient : public testing::Test {
protected:
    void SetUp() override {
        // The second profile is the install's default; the first only carries the old mark.
        WriteTextFile(m_Roots.Packaged() + "/profiles.ini",
                      "[Profile1]\r\nName=work\r\nIsRelative=1\r\nPath=w0rk.work\r\nDefault=1\r\n\r\n"
                      "[Profile0]\r\nName=default-release\r\nIsRelative=1\r\nPath=h0me.default-release\r\n"
                      "[Profile2]\r\nName=never started\r\nIsRelative=1\r\nPath=n3w.new\r\n[General]\r\nVersion=2\r\n");
        WriteTextFile(m_Roots.Packaged() + "/installs.ini", "[4F96D1932A9F858E]\nDefault=h0me.default-release\n");
        WriteTextFile(m_Roots.Flatpak() + "/profiles.ini",
                      "[Profile0]\nName=flat\nIsRelative=0\nPath=" + m_Roots.Flatpak() + "/abs.flat/\n");
        WriteTextFile(Work() + "/prefs.js", WorkPrefs);
        WriteTextFile(Home() + "/prefs.js", HomePrefs);
        WriteTextFile(Flat() + "/prefs.js", FlatPrefs);
        std::filesystem::create_directories(m_Roots.Packaged() + "/n3w.new");
        m_Clients.OnLogItem = [this](const std::string& details, int kind) { m_Log.emplace_back(details, kind); };
    }

    std::string Work() const { return m_Roots.Packaged() + "/w0rk.work"; }
    std::string Home() const { return m_Roots.Packaged() + "/h0me.default-release"; }
    std::string Flat() const { return m_Roots.Flatpak() + "/abs.flat"; }

    TThunderbirdAccount& Account(const std::string& address, TMailClients* clients = nullptr) {
        clients = clients ? clients : &m_Clients;
        for (int i = 0; i < clients->AccountCount(); ++i)
            if (clients->Accounts(i).EmailAddress == address)
                return static_cast<TThunderbirdAccount&>(clients->Accounts(i));
        throw std::runtime_error("no account " + address);
    }
    // What Thunderbird takes at its next start.
    static std::string Next(const std::string& profile, const std::string& leaf, const char* server = "server1") {
        TProfilePrefs files(profile);
        std::string error;
        if (!files.Load(error))
            return "unreadable: " + error;
        const TPrefValue* value = files.Effective("mail.server." + std::string(server) + "." + leaf);
        return value ? FormatPrefValue(*value) : "(none)";
    }
    bool Logged(const std::string& part) const {
        for (const auto& [details, kind] : m_Log)
            if (details.find(part) != std::string::npos)
                return true;
        return false;
    }

    TThunderbirdRoots m_Roots;
    TMailClients m_Clients;
    std::vector<std::pair<std::string, int>> m_Log;
};

} // namespace

TEST_F(UThunderbirdMailClient, FindsThePOP3AccountsOfEveryProfileTheDefaultFirst) {
    m_Clients.Discover();
    ASSERT_EQ(m_Clients.AccountCount(), 4);
    const auto& home = static_cast<TThunderbirdAccount&>(m_Clients.Accounts(0));
    EXPECT_EQ(home.EmailAddress, "home@example.test");
    EXPECT_EQ(home.Identity, "default-release");
    EXPECT_EQ(home.RemoteServer + ":" + std::to_string(home.RemotePort), "pop.home.test:1110"); // as changed
    EXPECT_EQ(home.UserName, "home");
    EXPECT_EQ(home.AuthMethod, 4);
    EXPECT_EQ(home.Client->Name, "Mozilla Thunderbird");

    const auto& work = static_cast<TThunderbirdAccount&>(m_Clients.Accounts(1));
    EXPECT_EQ(work.Identity, "work");
    EXPECT_EQ(work.AccountName, "B\xc3\xbcro \"Nord\"");
    EXPECT_EQ(work.EmailAddress, "juergen@example.test");
    EXPECT_EQ(work.DisplayName, "J\xc3\xbcrgen M\xc3\xbcller");
    EXPECT_EQ(work.UserName, "j\xc3\xbcrgen");
    EXPECT_EQ(work.RemoteServer + ":" + std::to_string(work.RemotePort), "pop.example.test:110");
    EXPECT_EQ(work.Security, TConnectionSecurity::Automatic);

    const auto& secure = static_cast<TThunderbirdAccount&>(m_Clients.Accounts(2));
    EXPECT_EQ(secure.RemotePort, 995); // SSL/TLS without a port of its own
    EXPECT_EQ(secure.Security, TConnectionSecurity::ImplicitTLS);
    EXPECT_EQ(SecurityOfSocketType(SocketStartTLS), TConnectionSecurity::STLS);
    EXPECT_EQ(SecurityOfSocketType(SocketTryStartTLS), TConnectionSecurity::Automatic);

    const auto& flat = static_cast<TThunderbirdAccount&>(m_Clients.Accounts(3));
    EXPECT_EQ(flat.Identity, "flat (Flatpak)");
    EXPECT_EQ(flat.ProfileDirectory, Flat());
    EXPECT_TRUE(m_Log.empty()); // the profile never started has no prefs.js, and that is no fault
}

TEST_F(UThunderbirdMailClient, RedirectAndRestoreKeepEveryOtherByteAndSurviveAKill) {
    m_Clients.Discover();
    ASSERT_TRUE(Account("juergen@example.test").SetPOP3Server(LocalMarkerHost, 20001));
    const std::string redirected = ReadTextFile(Work() + "/prefs.js");
    EXPECT_EQ(redirected, WorkPrefs + "user_pref(\"mail.server.server2.tessivar_remote_host\", \"pop.example.test\");\n"
                                      "user_pref(\"mail.server.server2.tessivar_remote_port\", 110);\n"
                                      "user_pref(\"mail.server.server2.tessivar_remote_socketType\", 0);\n"
                                      "user_pref(\"mail.server.server2.realhostname\", \"127.1\");\n"
                                      "user_pref(\"mail.server.server2.port\", 20001);\n");
    EXPECT_EQ(ReadTextFile(Work() + "/prefs.js.tessivar-backup"), WorkPrefs);
    struct stat info = {};
    ASSERT_EQ(::stat((Work() + "/prefs.js").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_FALSE(std::filesystem::exists(Work() + "/user.js")); // Thunderbird is not running

    // Killed: the next start finds the account redirected, with its real server, and restores it.
    TMailClients next;
    next.Discover();
    TMailClientAccount& work = Account("juergen@example.test", &next);
    EXPECT_EQ(work.RemoteServer + ":" + std::to_string(work.RemotePort), "pop.example.test:110");
    EXPECT_TRUE(work.PointsAtMarkerHost());
    ASSERT_TRUE(work.RestoreRemoteServer());
    EXPECT_FALSE(work.PointsAtMarkerHost());
    EXPECT_EQ(WithoutKeptLines(ReadTextFile(Work() + "/prefs.js")), WorkPrefs);

    // An account whose host was changed in the settings gets that host and its own port back.
    TThunderbirdAccount& home = Account("home@example.test");
    home.AuthMethod = 3;
    ASSERT_TRUE(home.SetPOP3Server(LocalMarkerHost, 20002));
    EXPECT_EQ(Next(Home(), "realhostname") + Next(Home(), "port"), "\"127.1\"20002");
    ASSERT_TRUE(home.SetPOP3Server(home.RemoteServer, home.RemotePort));
    EXPECT_EQ(Next(Home(), "realhostname") + Next(Home(), "port"), "\"pop.home.test\"1110");
}

TEST_F(UThunderbirdMailClient, SecureAccountPointsAtThePlainLocalServerAndGetsItsSecurityBack) {
    // An encrypted password is safe over TLS: sent as the server takes it in clear.
    const std::string securePrefs = WorkPrefs + "user_pref(\"mail.server.server3.authMethod\", 4);\n";
    WriteTextFile(Work() + "/prefs.js", securePrefs);
    m_Clients.Discover();
    TThunderbirdAccount& secure = Account("secure@example.test");
    ASSERT_TRUE(secure.SetPOP3Server(LocalMarkerHost, 20001));
    EXPECT_EQ(Next(Work(), "socketType", "server3"), "0"); // its line changed where it stands
    EXPECT_EQ(Next(Work(), "authMethod", "server3"), "3");
    EXPECT_EQ(Next(Work(), "tessivar_remote_socketType", "server3"), "3");
    EXPECT_EQ(Next(Work(), "tessivar_remote_authMethod", "server3"), "4");

    ASSERT_TRUE(secure.SetPOP3Server(secure.RemoteServer, secure.RemotePort));
    EXPECT_EQ(Next(Work(), "socketType", "server3"), "3");
    EXPECT_EQ(Next(Work(), "port", "server3"), "(none)"); // 995 is the default of SSL/TLS
    EXPECT_EQ(Next(Work(), "authMethod", "server3"), "4");
    EXPECT_EQ(ReadTextFile(Work() + "/prefs.js"), securePrefs);
    EXPECT_TRUE(m_Log.empty());
}

TEST_F(UThunderbirdMailClient, AccountsThatCannotBeScreenedAreLeftAsTheyAreAndTheUserIsTold) {
    // Explicit defaults of the user's own stay through the restore of an account never redirected.
    const std::string explicitDefaults = FlatPrefs + "user_pref(\"mail.server.server1.socketType\", 0);\n";
    WriteTextFile(Flat() + "/prefs.js", explicitDefaults);
    m_Clients.Discover();
    EXPECT_TRUE(Account("flat@example.test").SetPOP3Server("pop.flat.test", 110));
    EXPECT_EQ(ReadTextFile(Flat() + "/prefs.js"), explicitDefaults);
    // An encrypted password would travel unencrypted to a real server without TLS.
    EXPECT_FALSE(Account("home@example.test").SetPOP3Server(LocalMarkerHost, 20002));
    EXPECT_TRUE(Logged("The Thunderbird account \"pop.home.test\" is not screened: it signs in with an encrypted"));
    EXPECT_EQ(ReadTextFile(Home() + "/prefs.js"), HomePrefs);
    // OAuth2 gives no password to pass on.
    Account("secure@example.test").AuthMethod = 10;
    EXPECT_FALSE(Account("secure@example.test").SetPOP3Server(LocalMarkerHost, 20001));
    EXPECT_TRUE(Logged("\"Secure\" is not screened: its way of signing in gives Tessivar no password"));
    EXPECT_EQ(ReadTextFile(Work() + "/prefs.js"), WorkPrefs);
    for (const auto& entry : m_Log)
        EXPECT_EQ(entry.second, 1);
}

TEST_F(UThunderbirdMailClient, DamagedFilesAreNeverRewritten) {
    const std::string damaged = FlatPrefs + "user_pref(\"broken\", \"no end);\n";
    WriteTextFile(Flat() + "/prefs.js", damaged);
    m_Clients.Discover();
    EXPECT_EQ(m_Clients.AccountCount(), 3);
    EXPECT_TRUE(Logged("abs.flat/prefs.js: unterminated string in line 8"));

    // Damaged after discovery, prefs.js or user.js: neither file is written.
    WriteTextFile(Flat() + "/prefs.js", FlatPrefs);
    TMailClients clients;
    clients.Discover();
    TMailClientAccount& flat = Account("flat@example.test", &clients);
    WriteTextFile(Flat() + "/prefs.js", damaged);
    EXPECT_FALSE(flat.SetPOP3Server(LocalMarkerHost, 20001));
    EXPECT_EQ(ReadTextFile(Flat() + "/prefs.js"), damaged);
    WriteTextFile(Flat() + "/prefs.js", FlatPrefs);
    WriteTextFile(Flat() + "/user.js", "user_pref(\"x\", 1)\n");
    EXPECT_FALSE(flat.SetPOP3Server(LocalMarkerHost, 20001));
    EXPECT_EQ(ReadTextFile(Flat() + "/prefs.js"), FlatPrefs);
    EXPECT_EQ(ReadTextFile(Flat() + "/user.js"), "user_pref(\"x\", 1)\n");
    EXPECT_FALSE(std::filesystem::exists(Flat() + "/prefs.js.tessivar-backup"));
}

// Thunderbird running when the program starts, restarted while it screens, running at its stop.
TEST_F(UThunderbirdMailClient, ThunderbirdRunningThroughoutTakesEachChangeAtItsNextStart) {
    auto thunderbird = std::make_unique<TRunningThunderbird>(Flat());
    m_Clients.Discover();
    TMailClientAccount& flat = Account("flat@example.test");
    ASSERT_TRUE(flat.SetPOP3Server(LocalMarkerHost, 20001));
    EXPECT_TRUE(Logged("Thunderbird is running: restart it so that its account \"flat@example.test\" fetches its "
                       "mail through Tessivar."));
    EXPECT_NE(ReadTextFile(Flat() + "/user.js").find("user_pref(\"mail.server.server1.realhostname\", \"127.1\");"),
              std::string::npos);

    // Thunderbird ends writing what it read at its start, and starts again with user.js laid over.
    thunderbird->Exit();
    WriteTextFile(Flat() + "/prefs.js", FlatPrefs);
    EXPECT_EQ(Next(Flat(), "realhostname") + Next(Flat(), "port"), "\"127.1\"20001");
    thunderbird = std::make_unique<TRunningThunderbird>(Flat());

    // Stopped while Thunderbird (pointing at the local server) runs: its exit writes the local
    // server back into prefs.js, so user.js carries the real one.
    m_Log.clear();
    ASSERT_TRUE(flat.SetPOP3Server(flat.RemoteServer, flat.RemotePort));
    EXPECT_TRUE(Logged("fetches from pop.flat.test again."));
    thunderbird->Exit();
    WriteTextFile(Flat() + "/prefs.js", FlatPrefs + "user_pref(\"mail.server.server1.realhostname\", \"127.1\");\n"
                                                    "user_pref(\"mail.server.server1.port\", 20001);\n");
    EXPECT_EQ(Next(Flat(), "realhostname") + Next(Flat(), "port"), "\"pop.flat.test\"110");

    // The next discovery, Thunderbird not running, moves the lines out of user.js into prefs.js,
    // leaving out those that only state a default: prefs.js is as before the redirect.
    TMailClients next;
    next.Discover();
    EXPECT_FALSE(std::filesystem::exists(Flat() + "/user.js"));
    EXPECT_EQ(WithoutKeptLines(ReadTextFile(Flat() + "/prefs.js")), FlatPrefs);
    EXPECT_EQ(Account("flat@example.test", &next).RemoteServer, "pop.flat.test");
}

// Thunderbird started after the redirect and killed; the user's own lines in user.js stay.
TEST_F(UThunderbirdMailClient, ThunderbirdStartedLaterOrKilledNeverKeepsTheLocalServer) {
    WriteTextFile(Flat() + "/user.js", UserLines);
    m_Clients.Discover();
    TMailClientAccount& flat = Account("flat@example.test");
    ASSERT_TRUE(flat.SetPOP3Server(LocalMarkerHost, 20001)); // Thunderbird not running: prefs.js alone
    EXPECT_EQ(ReadTextFile(Flat() + "/user.js"), UserLines);

    TRunningThunderbird thunderbird(Flat()); // took the local server at its start
    ASSERT_TRUE(flat.SetPOP3Server(flat.RemoteServer, flat.RemotePort));
    EXPECT_EQ(Next(Flat(), "realhostname"), "\"pop.flat.test\"");

    // Thunderbird started again since: the lines have been taken and leave user.js at discovery.
    thunderbird.Exit();
    TRunningThunderbird again(Flat());
    TMailClients next;
    next.OnLogItem = m_Clients.OnLogItem;
    next.Discover();
    EXPECT_EQ(ReadTextFile(Flat() + "/user.js"), UserLines);
    EXPECT_EQ(Next(Flat(), "realhostname") + Next(Flat(), "port"), "(none)(none)");

    // Killed, Thunderbird leaves its lock link behind but holds the profile no more.
    again.Kill();
    EXPECT_FALSE(ProfileInUse(Flat()));
    m_Log.clear();
    ASSERT_TRUE(Account("flat@example.test", &next).SetPOP3Server(LocalMarkerHost, 20003));
    EXPECT_FALSE(Logged("restart"));
    EXPECT_EQ(ReadTextFile(Flat() + "/user.js"), UserLines);
    EXPECT_EQ(Next(Flat(), "port"), "20003");
}

TEST(UThunderbirdProfiles, ReadsTheIniFilesAndTheLocks) {
    const auto profiles = ProfilesFromIni({"/r", "Snap"},
                                          "; comment\n[Profile0]\nName=a\nIsRelative=1\nPath=x.a\n"
                                          "[Profile1]\nName = b \nPath=/abs/b/\nIsRelative=0\n"
                                          "[Profile2]\nName=c\nIsRelative=1\nPath=x.a\n[Profile3]\nName=no path\n"
                                          "[InstallABC]\nDefault=/abs/b/\n",
                                          "");
    ASSERT_EQ(profiles.size(), 2u);
    EXPECT_EQ(profiles[0].Name + "|" + profiles[0].Directory, "b|/abs/b");
    EXPECT_TRUE(profiles[0].IsDefault);
    EXPECT_EQ(profiles[1].Directory + "|" + profiles[1].Edition, "/r/x.a|Snap");

    TThunderbirdRoots roots;
    const std::string profile = roots.Packaged() + "/p";
    std::filesystem::create_directories(profile);
    EXPECT_FALSE(ProfileInUse(profile));
    // Without .parentlock, the lock link alone tells, by whether its process lives.
    ASSERT_EQ(::symlink(("127.0.0.1:+" + std::to_string(::getpid())).c_str(), (profile + "/lock").c_str()), 0);
    EXPECT_TRUE(ProfileInUse(profile));
    ::unlink((profile + "/lock").c_str());
    ASSERT_EQ(::symlink("127.0.0.1:+2147483647", (profile + "/lock").c_str()), 0);
    EXPECT_FALSE(ProfileInUse(profile));
    ::unlink((profile + "/lock").c_str());
    {
        TRunningThunderbird running(profile);
        EXPECT_TRUE(ProfileInUse(profile));
        EXPECT_GT(ProfileLockTime(profile), 0);
    }
    EXPECT_FALSE(ProfileInUse(profile));

    ::setenv("TESSIVAR_THUNDERBIRD_SNAP_DIR", "/snap/root/", 1);
    const std::vector<TProfileRoot> all = ThunderbirdProfileRoots();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[2].Directory, "/snap/root");
}

// The record that gives the files back byte for byte reads back as written; one that is damaged or
// lost leaves the restore to the real server kept beside the redirect, and goes.
TEST_F(UThunderbirdMailClient, DamagedOrLostRestoreRecordStillRestoresFromTheKeptServer) {
    m_Clients.Discover();
    ASSERT_TRUE(Account("juergen@example.test").SetPOP3Server(LocalMarkerHost, 20001));
    const std::string path = Work() + "/prefs.js.tessivar-restore";
    const std::string record = ReadTextFile(path);
    const std::optional<TThunderbirdRedirectRecord> parsed = ParseRedirectRecord(record);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->OriginalPrefs, WorkPrefs);
    EXPECT_EQ(parsed->Redirected.at("server2").Real.Host, "pop.example.test");
    EXPECT_EQ(FormatRedirectRecord(*parsed), record);
    for (const size_t cut : {size_t{10}, record.size() / 2, record.size() - 1})
        EXPECT_FALSE(ParseRedirectRecord(record.substr(0, cut)).has_value()) << cut;

    WriteTextFile(path, record.substr(0, record.size() / 2));
    TMailClients next;
    next.Discover();
    ASSERT_TRUE(Account("juergen@example.test", &next).RestoreRemoteServer());
    EXPECT_EQ(ReadTextFile(Work() + "/prefs.js"), WorkPrefs);
    EXPECT_FALSE(std::filesystem::exists(path));
}
