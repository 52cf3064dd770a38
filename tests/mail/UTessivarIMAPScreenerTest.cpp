#include "mail/UTessivarIMAPScreener.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "core/UMessageLoop.h"
#include "core/USQLite.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarEmailAddress.h"
#include "core/UTessivarIMAPMessages.h"
#include "core/UTessivarLogItem.h"
#include "mail/UIMAPClient.h"
#include "mail/USockets.h"
#include "mail/UTessivarAccountSession.h"
#include "mail/UTessivarIMAPSenders.h"
#include "tests/mail/FakeIMAPServer.h"

namespace {

using namespace std::chrono_literals;

const std::string Inbox = "INBOX";
const std::string Awaiting(IMAPAwaitingFolder);
const std::string Blocked(IMAPBlockedFolder);

std::string Message(const std::string& from, const std::string& id, const std::string& extra = {}) {
    return "From: " + from + "\r\nSubject: " + id + "\r\nMessage-ID: <" + id + "@example.org>\r\n" + extra +
           "\r\nbody of " + id + "\r\n";
}

std::string Id(const std::string& id) {
    return "<" + id + "@example.org>";
}

class IMAPScreenerTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "tessivar-imap-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_Dir = pattern + "/";
        ::setenv("TESSIVAR_HOME", m_Dir.c_str(), 1);
        ::setenv("TESSIVAR_REGISTRY_DIR", m_Dir.c_str(), 1);
        m_Model = std::make_unique<TTessivarBusinessLogic>(m_Target);
        m_Model->Startup();
        m_AccountID =
            m_Model->AddIMAPAccount("alice@example.test", "alice", "imap.example.test", 993, TIMAPSecurity::ImplicitTLS)
                .ID();
    }
    void TearDown() override {
        m_Screener.reset();
        m_Model.reset();
        std::filesystem::remove_all(m_Dir);
        ::unsetenv("TESSIVAR_HOME");
        ::unsetenv("TESSIVAR_REGISTRY_DIR");
    }

    TTessivarAccount& Account() { return *m_Model->FindAccountByID(m_AccountID); }
    void Start() {
        m_Screener = std::make_unique<TTessivarIMAPScreener>(
            *m_Model, Account(), [this](const auto&) { return std::make_unique<TFakeIMAPMailbox>(m_Server); });
    }
    // Serves the model's calls until `runs` more screening runs have finished.
    void Runs(int runs = 1) {
        for (int i = 0; i < runs; ++i) {
            const uint64_t target = m_Screener->RunsFinished() + 1;
            m_Screener->Wake();
            ServeUntil([&] { return m_Screener->RunsFinished() >= target; });
        }
    }
    void ServeUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!done()) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the screener did not get there";
            m_Target.ProcessPending();
            std::this_thread::sleep_for(1ms);
        }
        m_Target.ProcessPending();
    }
    // As the next run of the program: everything in memory is gone, the files and the server stay.
    void Restart() {
        m_Screener.reset();
        m_Model->Shutdown();
        m_Model.reset();
        m_Model = std::make_unique<TTessivarBusinessLogic>(m_Target);
        m_Model->Startup();
        Start();
        Runs();
    }
    int Emails() const { return m_Model->EmailCount(); }
    TTessivarEmail* Email(const std::string& subject) const {
        for (int i = 0; i < m_Model->EmailCount(); ++i)
            if (m_Model->Emails(i).Subject() == subject)
                return &m_Model->Emails(i);
        return nullptr;
    }
    int Challenges() {
        return m_Model->Database().SingletonQuery("SELECT COUNT(*) FROM EmailAddressesRequiringAuthorization");
    }
    std::vector<std::string> Log() const {
        std::vector<std::string> items;
        for (int i = 0; i < m_Model->LogItemCount(); ++i)
            items.push_back(m_Model->LogItems(i).Details());
        return items;
    }
    bool Logged(const std::string& text) const {
        const auto items = Log();
        return std::count(items.begin(), items.end(), text) == 1;
    }
    void Sender(const std::string& address, TApprovalStatus status) {
        TTessivarEmailAddress& sender = m_Model->AddEmailAddress(address, "");
        TUpdateScope<TTessivarEmailAddress> scope(sender);
        sender.SetApprovalStatus(status);
    }
    // The message is in exactly this folder, once, and the row of its email says so.
    void ExpectOnlyIn(const std::string& folder, const std::string& id) {
        for (const std::string& other : {Inbox, Awaiting, Blocked, std::string("Trash")})
            EXPECT_EQ(m_Server.Count(other, Id(id)), other == folder ? 1 : 0) << id << " in " << other;
        TTessivarEmail* email = Email(id);
        ASSERT_NE(email, nullptr) << id;
        const auto location = m_Model->IMAPMessages().LocationOf(email->ID());
        ASSERT_TRUE(location.has_value()) << id;
        EXPECT_EQ(location->Folder, folder) << id;
    }

    std::string m_Dir;
    TMessageLoop m_Target;
    TFakeIMAPServer m_Server;
    std::unique_ptr<TTessivarBusinessLogic> m_Model;
    int32_t m_AccountID = 0;
    std::unique_ptr<TTessivarIMAPScreener> m_Screener;
};

// Mail already in INBOX at enable is the user's; new mail goes where its classification says, each
// sender is challenged once, and nothing is screened again by the next run of the program.
TEST_F(IMAPScreenerTest, NewMailGoesToItsFolderOnceAndExistingMailStays) {
    m_Server.Append(Inbox, Message("stranger@old.test", "existing"));
    Sender("friend@example.org", TApprovalStatus::Approved);
    Sender("spam@example.org", TApprovalStatus::Blocked);
    Start();
    Runs();
    m_Server.Append(Inbox, Message("friend@example.org", "approved"));
    m_Server.Append(Inbox, Message("stranger@example.org", "unknown"));
    m_Server.Append(Inbox, Message("spam@example.org", "blocked"));
    ServeUntil([&] { return m_Server.Count(Inbox) == 2 && m_Server.Count(Blocked) == 1; });
    Runs();

    EXPECT_EQ(m_Server.Count(Inbox, Id("existing")), 1);
    EXPECT_EQ(Email("existing"), nullptr);
    ExpectOnlyIn(Inbox, "approved");
    ExpectOnlyIn(Awaiting, "unknown");
    ExpectOnlyIn(Blocked, "blocked");
    EXPECT_EQ(Challenges(), 1);
    EXPECT_TRUE(Logged("Screened 3 new messages for alice@example.test at imap.example.test."));

    Restart();
    EXPECT_EQ(Emails(), 3);
    EXPECT_EQ(Challenges(), 1);
    ExpectOnlyIn(Awaiting, "unknown");
    EXPECT_EQ(m_Server.Count(Inbox), 2);
}

// A run cut short at any step (a lost connection; a kill, as the restart drops everything in
// memory) is finished by the next start: no message is lost, stored twice or challenged twice, and
// each ends in its folder once, with the row of its email saying where. The parameter is the step
// of the run that fails.
class IMAPScreenerKillTest : public IMAPScreenerTest, public testing::WithParamInterface<int> {};

TEST_P(IMAPScreenerKillTest, RunCutShortIsFinishedOnceAtTheNextStart) {
    m_Server.UIDPlus = GetParam() % 2 == 0;
    Sender("friend@example.org", TApprovalStatus::Approved);
    Sender("spam@example.org", TApprovalStatus::Blocked);
    Start();
    Runs();
    auto failed = std::make_shared<std::atomic<bool>>(false);
    auto steps = std::make_shared<std::atomic<int>>(0);
    {
        std::lock_guard lock(m_Server.Lock);
        m_Server.Hook = [failed, steps, at = GetParam()](const std::string& step) {
            if (step != "WaitForChange" && ++*steps == at && !failed->exchange(true))
                throw ESocketException("connection lost at " + step);
        };
        m_Server.AppendLocked(Inbox, Message("stranger@example.org", "held"));
        m_Server.AppendLocked(Inbox, Message("spam@example.org", "blocked"));
        m_Server.AppendLocked(Inbox, Message("friend@example.org", "approved"));
    }
    ServeUntil([&] { return failed->load() || m_Server.Count(Inbox) == 1; });
    {
        std::lock_guard lock(m_Server.Lock);
        m_Server.Hook = nullptr;
    }
    Restart();
    ServeUntil([&] { return m_Server.Count(Inbox) == 1 && m_Server.Count(Awaiting) == 1; });
    Runs();

    EXPECT_EQ(Emails(), 3);
    EXPECT_EQ(Challenges(), 1);
    ExpectOnlyIn(Awaiting, "held");
    ExpectOnlyIn(Blocked, "blocked");
    ExpectOnlyIn(Inbox, "approved");
    EXPECT_TRUE(m_Model->IMAPMessages().PendingMoves(m_AccountID).empty());
}

INSTANTIATE_TEST_SUITE_P(Steps, IMAPScreenerKillTest, testing::Range(1, 25));

// Approving or authenticating a held message's sender, or approving the email once, moves it back
// to INBOX, where it is not screened again.
TEST_F(IMAPScreenerTest, HeldMailMovesBackWhenApprovedOrAuthenticated) {
    m_Server.UIDPlus = false; // the moved-back message is then recognised by its Message-ID
    Start();
    Runs();
    m_Server.Append(Inbox, Message("a@example.org", "approve"));
    m_Server.Append(Inbox, Message("b@example.org", "authenticate"));
    m_Server.Append(Inbox, Message("c@example.org", "once"));
    ServeUntil([&] { return m_Server.Count(Awaiting) == 3; });

    m_Model->FindEmailAddress("a@example.org")->Approve();
    {
        TTessivarEmailAddress& sender = *m_Model->FindEmailAddress("b@example.org");
        TUpdateScope<TTessivarEmailAddress> scope(sender);
        sender.SetAuthenticationStatus(TAuthenticationStatus::Authenticated);
    }
    Email("once")->ApproveOnce();
    ServeUntil([&] { return m_Server.Count(Inbox) == 3; });
    Runs(2);

    EXPECT_EQ(Emails(), 3);
    for (const char* id : {"approve", "authenticate", "once"})
        ExpectOnlyIn(Inbox, id);
}

// Moves made with another mail program are the user's decisions: out of the Awaiting folder into
// INBOX approves once, into the Blocked folder blocks once, and a deletion marks the email deleted.
TEST_F(IMAPScreenerTest, UsersMovesElsewhereDecideOnce) {
    Sender("friend@example.org", TApprovalStatus::Approved);
    Start();
    Runs();
    m_Server.Append(Inbox, Message("x@example.org", "wanted"));
    m_Server.Append(Inbox, Message("y@example.org", "unwanted"));
    m_Server.Append(Inbox, Message("z@example.org", "deleted"));
    m_Server.Append(Inbox, Message("friend@example.org", "regretted"));
    ServeUntil([&] { return m_Server.Count(Awaiting) == 3; });
    Runs();

    m_Server.MoveByClient(Awaiting, Id("wanted"), Inbox);
    m_Server.MoveByClient(Awaiting, Id("unwanted"), Blocked);
    m_Server.DeleteByClient(Awaiting, Id("deleted"));
    m_Server.MoveByClient(Inbox, Id("regretted"), Blocked);
    m_Screener->LookAtHeldFolders();
    ServeUntil([&] { return Email("wanted")->IsApprovedOnce() && Email("regretted")->IsBlockedOnce(); });
    Runs();

    EXPECT_EQ(Emails(), 4);
    ExpectOnlyIn(Inbox, "wanted");
    ExpectOnlyIn(Blocked, "unwanted");
    EXPECT_TRUE(Email("unwanted")->IsBlockedOnce());
    EXPECT_TRUE(Email("deleted")->Deleted());
    ExpectOnlyIn(Blocked, "regretted");
    EXPECT_TRUE(m_Model->FindEmailAddress("friend@example.org")->IsApproved()) << "only the email is blocked";
}

// A copy of a held message arriving again in INBOX is new mail, not the user's approval: only the
// held message itself leaving its folder approves it.
TEST_F(IMAPScreenerTest, SecondCopyOfHeldMessageIsNotTakenForApproval) {
    Start();
    Runs();
    m_Server.Append(Inbox, Message("x@example.org", "twice"));
    ServeUntil([&] { return m_Server.Count(Awaiting) == 1; });
    m_Server.Append(Inbox, Message("x@example.org", "twice"));
    ServeUntil([&] { return m_Server.Count(Awaiting) == 2; });
    EXPECT_EQ(Emails(), 2);
    EXPECT_FALSE(Email("twice")->IsApprovedOnce());
}

// A new UIDVALIDITY of INBOX never screens its old mail again; held messages whose folder was
// renumbered are found again by their Message-ID and still move back when approved.
TEST_F(IMAPScreenerTest, NewUIDValidityScreensOnlyNewMail) {
    Start();
    Runs();
    m_Model->AddEmailAddress("friend@example.org", "").Approve();
    m_Server.Append(Inbox, Message("a@example.org", "held"));
    m_Server.Append(Inbox, Message("friend@example.org", "kept"));
    ServeUntil([&] { return m_Server.Count(Awaiting) == 1; });
    Runs();
    // A server renumbers a folder only while no session has it selected.
    m_Screener.reset();
    m_Server.Renumber(Inbox);
    m_Server.Renumber(Awaiting);
    Start();
    Runs(2);
    m_Server.Append(Inbox, Message("b@example.org", "after"));
    ServeUntil([&] { return m_Server.Count(Awaiting) == 2; });
    EXPECT_EQ(Emails(), 3);

    m_Model->FindEmailAddress("a@example.org")->Approve();
    ServeUntil([&] { return m_Server.Count(Inbox, Id("held")) == 1; });
    ExpectOnlyIn(Inbox, "held");
    EXPECT_EQ(Emails(), 3);
}

// "Delete" on held mail (and the deletion of old blocked mail) moves it to the trash; a server
// without one keeps it where it is: nothing is ever expunged.
TEST_F(IMAPScreenerTest, DeletedMailGoesToTrashNeverExpunged) {
    Start();
    Runs();
    m_Server.Append(Inbox, Message("x@example.org", "gone"));
    m_Server.Append(Inbox, Message("x@example.org", "later"));
    ServeUntil([&] { return m_Server.Count(Awaiting) == 2; });
    Email("gone")->Delete();
    ServeUntil([&] { return m_Server.Count("Trash") == 1; });
    EXPECT_FALSE(m_Model->IMAPMessages().LocationOf(Email("gone")->ID()).has_value());

    // Deleted while not screening: the cleanup at the next start keeps the email until its message
    // is in the trash.
    m_Screener.reset();
    Email("later")->Delete();
    Restart();
    ServeUntil([&] { return m_Server.Count("Trash") == 2; });

    m_Server.Trash.clear();
    Restart();
    m_Server.Append(Inbox, Message("x@example.org", "kept"));
    ServeUntil([&] { return m_Server.Count(Awaiting) == 1; });
    Email("kept")->Delete();
    Runs(2);
    EXPECT_EQ(m_Server.Count(Awaiting, Id("kept")), 1);
}

// The service's notices are consumed as the POP3 checker consumes them, and put away in the trash.
TEST_F(IMAPScreenerTest, NoticesAreNotStoredAndLeaveInbox) {
    Start();
    Runs();
    m_Server.Append(Inbox,
                    Message("service@example.org", "notice", "X-Tessivar: Self-Authentication-Notification\r\n"));
    ServeUntil([&] { return m_Server.Count("Trash") == 1; });
    Runs();
    EXPECT_EQ(Emails(), 0);
    EXPECT_EQ(m_Server.Count(Inbox), 0);
}

// Destroying the screener ends its wait on the server at once, and a connection that cannot be made
// is told once, not at every retry.
TEST_F(IMAPScreenerTest, StopsPromptlyAndTellsFailuresOnce) {
    Start();
    Runs();
    std::this_thread::sleep_for(50ms); // now waiting for INBOX to change
    const auto start = std::chrono::steady_clock::now();
    m_Screener.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

    std::atomic<int> attempts{0};
    m_Screener = std::make_unique<TTessivarIMAPScreener>(*m_Model, Account(), [&](const auto&) -> std::unique_ptr<TIMAPMailbox> {
        ++attempts;
        throw EIMAPLoginRefused("NO [AUTHENTICATIONFAILED] Authentication failed.");
    });
    const std::string refused = "The server refused the user name or password for \"alice\" at \"imap.example.test\".";
    ServeUntil([&] { return Logged(refused); });
    m_Screener.reset();
    EXPECT_EQ(attempts, 1);
}

// A server that takes the connection and never answers holds the worker in the connect; destroying
// the screener must not wait for the connect time-out, whichever security is asked for.
TEST_F(IMAPScreenerTest, StopWhileConnectingToASilentServerIsPrompt) {
    TSocketListener silent("127.0.0.1", 0, 4); // never accepts: the kernel completes the handshakes
    for (const TIMAPSecurity security : {TIMAPSecurity::ImplicitTLS, TIMAPSecurity::STARTTLS}) {
        TIMAPServer server = Account().IMAPServer();
        server.Host = "127.0.0.1";
        server.Port = silent.Port();
        server.Security = security;
        std::atomic<bool> connecting{false};
        m_Screener = std::make_unique<TTessivarIMAPScreener>(
            *m_Model, Account(), [&](const std::shared_ptr<TAbortSignal>& abort) -> std::unique_ptr<TIMAPMailbox> {
                auto client = std::make_unique<TIMAPClient>(server, "", abort);
                connecting = true;
                client->Connect("secret", IMAPConnectTimeoutMs);
                return client;
            });
        ServeUntil([&] { return connecting.load(); });
        std::this_thread::sleep_for(100ms); // inside the TLS handshake or the wait for the greeting
        const auto start = std::chrono::steady_clock::now();
        m_Screener.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
        for (const std::string& item : Log())
            EXPECT_FALSE(item.starts_with("Could not connect")) << "a stop is no failure to tell the user: " << item;
    }
}

// Enabling an IMAP account starts its screener (without a stored password it says so) and
// disabling it stops it; IMAP mail is never offered by the local POP3 server.
TEST_F(IMAPScreenerTest, EnableStartsScreenerAndLocalServerNeverOffersImapMail) {
    Account().SetEnabled(true);
    ASSERT_NE(Account().IMAPScreener(), nullptr);
    ServeUntil([&] { return m_Model->LogItemCount() > 0 && Log().back().starts_with("No password is kept for"); });
    Account().SetEnabled(false);
    EXPECT_EQ(Account().IMAPScreener(), nullptr);

    Account().IMAPConnector = [this](const auto&) { return std::make_unique<TFakeIMAPMailbox>(m_Server); };
    Account().SetEnabled(true);
    ServeUntil([&] { return Account().IMAPScreener()->RunsFinished() > 0; });
    m_Server.Append(Inbox, Message("friend@example.org", "delivered"));
    m_Model->AddEmailAddress("friend@example.org", "").Approve();
    ServeUntil([&] { return Emails() == 1 || m_Server.Count(Inbox) == 0; });
    EXPECT_EQ(Account().CreateSession()->Count(), 0);
}

// The senders of INBOX's recent mail become approved imported senders, except the user's own
// address and senders the user blocked.
TEST_F(IMAPScreenerTest, ExistingSendersApprovedAsImported) {
    m_Server.Append(Inbox, Message("Ann <ann@example.org>", "1"));
    m_Server.Append(Inbox, Message("ann@example.org", "2"));
    m_Server.Append(Inbox, Message("alice@example.test", "3"));
    m_Server.Append(Inbox, Message("spam@example.org", "4"));
    Sender("spam@example.org", TApprovalStatus::Blocked);
    TFakeIMAPMailbox mailbox(m_Server);
    EXPECT_EQ(ApproveExistingIMAPSenders(*m_Model, mailbox, "alice@example.test"), 1);
    EXPECT_TRUE(m_Model->FindEmailAddress("ann@example.org")->IsApproved());
    EXPECT_EQ(m_Model->FindEmailAddress("ann@example.org")->AuthenticationStatus(), TAuthenticationStatus::Imported);
    EXPECT_EQ(m_Model->FindEmailAddress("alice@example.test"), nullptr);
    EXPECT_TRUE(m_Model->FindEmailAddress("spam@example.org")->IsBlocked());
}

} // namespace
