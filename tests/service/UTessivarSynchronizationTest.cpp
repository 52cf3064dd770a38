#include "core/UTessivarDomainName.h"
#include "core/UTessivarEmailAddress.h"
#include "devservice/UDevService.h"
#include "service/UHTTP.h"
#include "service/UTessivarSynchronizationRetry.h"
#include "tests/base/TraceCapture.h"
#include "tests/service/ServiceFixture.h"

#include <deque>
#include <random>

namespace {

class SynchronizationTest : public TServiceModelTest {
protected:
    // The service answers the requests in turn with these result contents.
    void StartWithAnswers(std::vector<std::string> results) {
        m_Answers.assign(results.begin(), results.end());
        Start([this](const std::string&) {
            std::lock_guard lock(m_AnswerLock);
            m_Arrivals.push_back(std::chrono::steady_clock::now());
            std::string result = m_Answers.empty() ? std::string() : m_Answers.front();
            if (!m_Answers.empty())
                m_Answers.pop_front();
            return ActionAnswer("Synchronize", result);
        });
        Model().SetUsername("me@example.com");
        Model().SetPassword("secret");
    }
    void QueueRow(const std::string& from) {
        Db().Insert(
            "EmailAddressesRequiringAuthorization",
            {"FromEmailAddress", "FromDisplayName", "ToEmailAddress", "ToDisplayName", "Subject", "Received", "SyncID"},
            {from, "Stranger", "me@example.com", "Me", "Hello", TSQLValue::DateTime(46000.5), -1});
    }
    // Synchronizes and serves until its answer was handled.
    void SynchronizeAndWait() {
        const int handled = LogItems("Server synchronization complete.") + LogItems("Server synchronization failed.");
        Model().Synchronize(true);
        ServeUntil([&] {
            return LogItems("Server synchronization complete.") + LogItems("Server synchronization failed.") > handled;
        });
    }
    // The argument of the n-th request the service received.
    std::unique_ptr<TXMLNode> Sent(size_t n) {
        const std::vector<std::string> requests = m_Service->Requests();
        EXPECT_GT(requests.size(), n);
        return RequestArgument(requests.at(n));
    }
    // An answer handed to the model as if it came from the service.
    std::unique_ptr<TTessivarServerRequest> Answered(const std::string& result) {
        auto request = Model().Server().CreateRequest("Synchronize", nullptr);
        request->SetResultRoot(TXMLNode::ParseString("<SynchronizeResponse><SynchronizeResult>" + result +
                                                     "</SynchronizeResult></SynchronizeResponse>"));
        return request;
    }

    // When each request reached the service.
    std::vector<std::chrono::steady_clock::time_point> Arrivals() {
        std::lock_guard lock(m_AnswerLock);
        return m_Arrivals;
    }

    std::mutex m_AnswerLock;
    std::deque<std::string> m_Answers;
    std::vector<std::chrono::steady_clock::time_point> m_Arrivals;
};

const std::string Accepted = "<DataVersion>7</DataVersion><AccountStatus>Active</AccountStatus>";

} // namespace

// What one request carries, element by element, and how its answer clears every mark: the settings,
// a record the answer never mentions, and the authorisation queue.
TEST_F(SynchronizationTest, SendsTheChangesInOrderAndAcknowledgesWhatTheAnswerAccepts) {
    StartWithAnswers({Accepted});
    Model().SetSignature("Regards");
    Model().AddDomainName("example.org");
    TTessivarEmailAddress& sender = Model().AddEmailAddress("friend@example.net", "Friend");
    sender.Approve();
    QueueRow("stranger@example.com");

    Model().Synchronize(true);
    const int32_t id = sender.PendingSyncID();
    EXPECT_GT(id, 1);
    EXPECT_EQ(Model().SettingsSyncID(), id);
    EXPECT_EQ(Cell("SELECT SyncID FROM EmailAddressesRequiringAuthorization"), std::to_string(id));
    EXPECT_FALSE(Model().SynchronizationRequired());
    ServeUntilLogged("Server synchronization complete.");

    const std::unique_ptr<TXMLNode> argument = Sent(0);
    EXPECT_EQ(ChildNames(*argument), "Generated Username Password SoftwareVersion ClientDataVersion AccountSettings "
                                     "DomainNameStatuses EmailAddressStatuses EmailAddressesRequiringAuthorization");
    EXPECT_EQ(argument->Child("Username").Text(), "me@example.com");
    EXPECT_EQ(argument->Child("Password").Text(), "secret");
    EXPECT_EQ(argument->Child("SoftwareVersion").Text(), "01.02.0000");
    EXPECT_EQ(argument->Child("ClientDataVersion").Text(), "0");
    TXMLNode& settings = argument->Child("AccountSettings");
    EXPECT_EQ(ChildNames(settings), "Signature BlockedWords AdultWords UnlockPassword LockAccess");
    EXPECT_EQ(settings.Child("Signature").Text(), "Regards");
    EXPECT_EQ(settings.Child("LockAccess").Text(), "false");
    TXMLNode& domains = argument->Child("DomainNameStatuses");
    ASSERT_EQ(domains.Children().Count(), 2); // the new domain of the sender is changed as well
    EXPECT_EQ(ChildNames(domains.Children().Items(0)), "DomainName ApprovalStatus Notes Deleted");
    EXPECT_EQ(domains.Children().Items(0).Child("DomainName").Text(), "example.org");
    TXMLNode& senders = argument->Child("EmailAddressStatuses");
    ASSERT_EQ(senders.Children().Count(), 1);
    TXMLNode& status = senders.Children().Items(0);
    EXPECT_EQ(ChildNames(status), "EmailAddress DisplayName ApprovalStatus AuthenticationStatus Notes Deleted");
    EXPECT_EQ(status.Child("EmailAddress").Text(), "friend@example.net");
    EXPECT_EQ(status.Child("ApprovalStatus").Text(), "Approved");
    EXPECT_EQ(status.Child("Deleted").Text(), "false");
    TXMLNode& row = argument->Child("EmailAddressesRequiringAuthorization").Children().Items(0);
    EXPECT_EQ(ChildNames(row), "FromEmailAddress FromDisplayName ToEmailAddress ToDisplayName Subject Received");
    EXPECT_EQ(row.Child("FromEmailAddress").Text(), "stranger@example.com");

    EXPECT_EQ(LogItems("Synchronizing with server..."), 1);
    EXPECT_FALSE(sender.Modified());
    EXPECT_EQ(sender.PendingSyncID(), 0);
    EXPECT_FALSE(Model().Modified());
    EXPECT_EQ(Model().SettingsSyncID(), 0);
    EXPECT_EQ(Model().DataVersion(), 7);
    EXPECT_EQ(Cell("SELECT DataVersion FROM Configuration"), "7");
    EXPECT_EQ(Cell("SELECT Modified FROM Configuration"), "0");
    EXPECT_EQ(Count("DomainNames WHERE Modified=1") + Count("EmailAddresses WHERE Modified=1"), 0);
    EXPECT_EQ(Count("EmailAddressesRequiringAuthorization"), 0);

    // Nothing left to send: without force no request goes out.
    Model().Synchronize(false);
    EXPECT_EQ(LogItems("Synchronizing with server..."), 1);
}

// Whatever changes while a request is under way keeps its local value and goes out again; the
// server's values reach only what was not changed since.
TEST_F(SynchronizationTest, ChangesMadeDuringARequestSurviveItsAnswerAndAreSentAgain) {
    StartWithAnswers({"<DataVersion>3</DataVersion><AccountStatus>Active</AccountStatus>"
                      "<AccountSettings><Signature>Server</Signature><AdultWords></AdultWords>"
                      "<BlockedWords>x</BlockedWords><LockAccess>false</LockAccess><UnlockPassword/></AccountSettings>"
                      "<DomainNameStatuses><DomainNameStatus><DomainName>EXAMPLE.org</DomainName>"
                      "<ApprovalStatus>blocked</ApprovalStatus><Notes>spam</Notes><Deleted>false</Deleted>"
                      "</DomainNameStatus></DomainNameStatuses><EmailAddressStatuses>"
                      "<EmailAddressStatus><EmailAddress>friend@example.net</EmailAddress><DisplayName>F</DisplayName>"
                      "<ApprovalStatus>Approved</ApprovalStatus><AuthenticationStatus>Authenticated"
                      "</AuthenticationStatus><Notes>server</Notes><Deleted>false</Deleted></EmailAddressStatus>"
                      "<EmailAddressStatus><EmailAddress>new@example.com</EmailAddress><DisplayName>New</DisplayName>"
                      "<ApprovalStatus>Undefined</ApprovalStatus><AuthenticationStatus>Authenticated"
                      "</AuthenticationStatus><Notes/><Deleted>false</Deleted></EmailAddressStatus>"
                      "</EmailAddressStatuses>",
                      Accepted});
    TTessivarDomainName& domain = Model().AddDomainName("example.org");
    TTessivarEmailAddress& sender = Model().AddEmailAddress("friend@example.net", "Friend");
    sender.Approve();
    QueueRow("first@example.com");
    Model().SetSignature("Mine");

    Model().Synchronize(true);
    sender.Block();
    QueueRow("second@example.com");
    Model().SetBlockedWords("spam");
    ServeUntilLogged("Server synchronization complete.");

    EXPECT_EQ(domain.ApprovalStatus(), TApprovalStatus::Blocked);
    EXPECT_EQ(domain.Notes(), "spam");
    EXPECT_FALSE(domain.Modified());
    EXPECT_EQ(sender.ApprovalStatus(), TApprovalStatus::Blocked);
    EXPECT_EQ(sender.Notes(), "");
    EXPECT_TRUE(sender.Modified());
    EXPECT_EQ(sender.PendingSyncID(), -1);
    TTessivarEmailAddress* created = Model().FindEmailAddress("new@example.com");
    ASSERT_NE(created, nullptr);
    EXPECT_TRUE(created->IsAuthenticated());
    EXPECT_FALSE(created->Modified());
    EXPECT_EQ(Model().Signature(), "Mine");
    EXPECT_EQ(Model().BlockedWords(), "spam");
    EXPECT_TRUE(Model().Modified());
    EXPECT_EQ(Cell("SELECT FromEmailAddress FROM EmailAddressesRequiringAuthorization"), "second@example.com");
    EXPECT_EQ(Count("EmailAddressesRequiringAuthorization"), 1);
    EXPECT_TRUE(Model().SynchronizationRequired());

    SynchronizeAndWait();
    const std::unique_ptr<TXMLNode> again = Sent(1);
    EXPECT_EQ(again->Child("ClientDataVersion").Text(), "3");
    EXPECT_EQ(again->Child("AccountSettings").Child("BlockedWords").Text(), "spam");
    EXPECT_EQ(again->Child("AccountSettings").Child("Signature").Text(), "Mine");
    TXMLNode& senders = again->Child("EmailAddressStatuses");
    ASSERT_EQ(senders.Children().Count(), 1);
    EXPECT_EQ(senders.Children().Items(0).Child("ApprovalStatus").Text(), "Blocked");
    // The domain the server's new sender brought is new here, and goes out; the acknowledged one not.
    TXMLNode& domains = again->Child("DomainNameStatuses");
    ASSERT_EQ(domains.Children().Count(), 1);
    EXPECT_EQ(domains.Children().Items(0).Child("DomainName").Text(), "example.com");
    TXMLNode& rows = again->Child("EmailAddressesRequiringAuthorization");
    ASSERT_EQ(rows.Children().Count(), 1);
    EXPECT_EQ(rows.Children().Items(0).Child("FromEmailAddress").Text(), "second@example.com");
    EXPECT_FALSE(sender.Modified());
    EXPECT_FALSE(Model().Modified());
    EXPECT_EQ(Count("EmailAddressesRequiringAuthorization"), 0);
}

// An error answer, an answer without fields and a service that cannot be reached
// merge nothing: every mark stays and the next request carries the same items.
TEST_F(SynchronizationTest, AFailedSynchronizationKeepsEverythingForTheNextOne) {
    StartWithAnswers({"<ErrorMessages><ErrorMessage><Code>2</Code><Message>Denied</Message></ErrorMessage>"
                      "</ErrorMessages><DataVersion>9</DataVersion>",
                      "", Accepted});
    TTessivarEmailAddress& sender = Model().AddEmailAddress("friend@example.net", "Friend");
    sender.Approve();
    QueueRow("stranger@example.com");

    SynchronizeAndWait();
    SynchronizeAndWait();
    EXPECT_EQ(LogItems("Server synchronization failed."), 2);
    EXPECT_EQ(Model().DataVersion(), 0);
    EXPECT_TRUE(sender.Modified());
    EXPECT_EQ(Count("EmailAddresses WHERE Modified=1"), 1);
    EXPECT_EQ(Count("EmailAddressesRequiringAuthorization"), 1);
    for (size_t n = 0; n < 2; ++n) {
        const std::unique_ptr<TXMLNode> argument = Sent(n);
        EXPECT_EQ(argument->Child("EmailAddressStatuses").Children().Count(), 1) << n;
        EXPECT_EQ(argument->Child("EmailAddressesRequiringAuthorization").Children().Count(), 1) << n;
    }

    SynchronizeAndWait();
    EXPECT_EQ(LogItems("Server synchronization complete."), 1);
    EXPECT_FALSE(sender.Modified());
    EXPECT_EQ(Count("EmailAddressesRequiringAuthorization"), 0);

    m_Service.reset(); // nobody answers any more
    sender.Block();
    SynchronizeAndWait();
    EXPECT_EQ(LogItems("Server synchronization failed."), 3);
    EXPECT_TRUE(sender.Modified());
}

// A large answer is merged in one transaction: all of it is stored with one change notification,
// and when storing any part fails, nothing of it stays, in the database or in the model.
TEST_F(SynchronizationTest, AnAnswerIsStoredWhollyInOneTransactionOrNotAtAll) {
    StartWithAnswers({});
    std::string statuses;
    for (int i = 0; i < 2000; ++i)
        statuses += "<EmailAddressStatus><EmailAddress>s" + std::to_string(i) + "@d" + std::to_string(i % 200) +
                    ".example</EmailAddress><DisplayName>S</DisplayName><ApprovalStatus>Approved</ApprovalStatus>"
                    "<AuthenticationStatus>Authenticated</AuthenticationStatus><Notes/><Deleted>false</Deleted>"
                    "</EmailAddressStatus>";
    struct TRecordedProgress : IRequestProgress {
        void SetProgress(int done, int total) override { Calls.emplace_back(done, total); }
        std::vector<std::pair<int, int>> Calls;
    } progress;
    int changes = 0;
    Model().OnChange = [&](TTessivarBusinessLogic&) { ++changes; };
    auto first = Answered(Accepted + "<EmailAddressStatuses>" + statuses + "</EmailAddressStatuses>");
    first->SetProgressBar(&progress);
    EXPECT_TRUE(Model().ApplySynchronization(*first));
    EXPECT_EQ(changes, 2); // the answer, then its log item
    EXPECT_EQ(Model().EmailAddressCount(), 2000);
    EXPECT_EQ(Count("EmailAddresses WHERE ApprovalStatus='A' AND AuthenticationStatus='A' AND Modified=0"), 2000);
    EXPECT_EQ(Count("DomainNames"), 200);
    ASSERT_FALSE(progress.Calls.empty());
    EXPECT_EQ(progress.Calls.front(), std::make_pair(0, 2000));
    EXPECT_EQ(progress.Calls.back(), std::make_pair(2000, 2000));

    // The database refuses the last new sender of the next answer.
    Db().Execute("CREATE TRIGGER Refuse BEFORE INSERT ON EmailAddresses WHEN NEW.Username='boom' "
                 "BEGIN SELECT RAISE(ABORT, 'refused'); END");
    auto second = Answered("<DataVersion>9</DataVersion><AccountStatus>Active</AccountStatus>"
                           "<AccountSettings><Signature>Server</Signature></AccountSettings><EmailAddressStatuses>"
                           "<EmailAddressStatus><EmailAddress>s0@d0.example</EmailAddress><ApprovalStatus>Blocked"
                           "</ApprovalStatus><Deleted>false</Deleted></EmailAddressStatus>"
                           "<EmailAddressStatus><EmailAddress>fresh@new.example</EmailAddress></EmailAddressStatus>"
                           "<EmailAddressStatus><EmailAddress>boom@new.example</EmailAddress></EmailAddressStatus>"
                           "</EmailAddressStatuses>");
    EXPECT_FALSE(Model().ApplySynchronization(*second));
    EXPECT_EQ(LogItems("Server synchronization failed."), 1);
    EXPECT_EQ(Model().DataVersion(), 7);
    EXPECT_EQ(Cell("SELECT DataVersion FROM Configuration"), "7");
    EXPECT_EQ(Model().Signature(), "");
    EXPECT_EQ(Model().EmailAddressCount(), 2000);
    EXPECT_EQ(Model().DomainNameCount(), 200);
    EXPECT_EQ(Model().FindEmailAddress("fresh@new.example"), nullptr);
    EXPECT_EQ(Model().FindEmailAddress("s0@d0.example")->ApprovalStatus(), TApprovalStatus::Approved);
    EXPECT_FALSE(Model().FindEmailAddress("s0@d0.example")->Modified());
    EXPECT_EQ(Count("EmailAddresses"), 2000);
    EXPECT_EQ(Count("EmailAddresses WHERE ApprovalStatus='B'"), 0);
    EXPECT_EQ(Count("DomainNames"), 200);
}

// Each row an answer touches is written once, whatever the steps of the merge do to its record: a
// new record's row goes in with the server's values, acknowledged, under the ID the engine would
// have given it; an existing record's row is updated once.
TEST_F(SynchronizationTest, EachRowOfAnAnswerIsWrittenOnce) {
    StartWithAnswers({});
    Model().AddDomainName("old.example"); // row 1, never sent
    auto answer = Answered(
        Accepted + "<DomainNameStatuses>"
                   "<DomainNameStatus><DomainName>old.example</DomainName><ApprovalStatus>Blocked</ApprovalStatus>"
                   "<Notes>n1</Notes><Deleted>false</Deleted></DomainNameStatus>"
                   "<DomainNameStatus><DomainName>fresh.example</DomainName><ApprovalStatus>Approved</ApprovalStatus>"
                   "<Notes>n'2</Notes><Deleted>false</Deleted></DomainNameStatus>"
                   "<DomainNameStatus><DomainName>gone.example</DomainName><ApprovalStatus>Approved</ApprovalStatus>"
                   "<Notes/><Deleted>true</Deleted></DomainNameStatus>"
                   "</DomainNameStatuses><EmailAddressStatuses>"
                   "<EmailAddressStatus><EmailAddress>a@fresh.example</EmailAddress><DisplayName>A</DisplayName>"
                   "<ApprovalStatus>Approved</ApprovalStatus><AuthenticationStatus>Authenticated</AuthenticationStatus>"
                   "<Notes>s</Notes><Deleted>false</Deleted></EmailAddressStatus>"
                   "<EmailAddressStatus><EmailAddress>b@brand.example</EmailAddress><DisplayName>007</DisplayName>"
                   "<ApprovalStatus>Blocked</ApprovalStatus><AuthenticationStatus>Pending</AuthenticationStatus>"
                   "<Notes/><Deleted>false</Deleted></EmailAddressStatus>"
                   "</EmailAddressStatuses>");
    std::string trace;
    {
        TTraceCapture capture;
        EXPECT_TRUE(Model().ApplySynchronization(*answer));
        trace = capture.Text();
    }
    const auto statements = [&trace](const std::string& start) {
        size_t count = 0;
        for (size_t at = trace.find("Executing SQL: " + start); at != std::string::npos;
             at = trace.find("Executing SQL: " + start, at + 1))
            ++count;
        return count;
    };
    EXPECT_EQ(statements("insert into DomainNames"), 3u);
    EXPECT_EQ(statements("update DomainNames"), 1u);
    EXPECT_EQ(statements("insert into EmailAddresses"), 2u);
    EXPECT_EQ(statements("update EmailAddresses"), 0u);

    const auto rows = [this](const std::string& sql) {
        TSQLiteResultSet result;
        Db().Query(sql + " ORDER BY ID", &result);
        std::string text;
        for (; !result.Eof(); result.Next())
            for (unsigned column = 0; column < result.FieldCount(); ++column)
                text += result.Value(result.Cursor(), column) + (column + 1 < result.FieldCount() ? "|" : "\n");
        return text;
    };
    // The domain name the new sender brought is new here and waits to be sent.
    EXPECT_EQ(rows("SELECT ID, DomainName, ApprovalStatus, Notes, typeof(Deleted), Deleted, Modified FROM DomainNames"),
              "1|old.example|B|n1|integer|0|0\n2|fresh.example|A|n'2|integer|0|0\n"
              "3|gone.example|?||integer|1|0\n4|brand.example|?||integer|0|1\n");
    EXPECT_EQ(rows("SELECT ID, Username, DomainNameID, typeof(DisplayName), DisplayName, Notes, ApprovalStatus, "
                   "AuthenticationStatus, Deleted, Modified FROM EmailAddresses"),
              "1|a|2|text|A|s|A|A|0|0\n2|b|4|text|007||B|P|0|0\n");
    EXPECT_EQ(Model().FindEmailAddress("b@brand.example")->ID(), 2);
    EXPECT_EQ(Model().FindDomainName("brand.example")->ID(), 4);
    EXPECT_TRUE(Model().FindDomainName("brand.example")->Modified());
    EXPECT_TRUE(Model().SynchronizationRequired());

    // Outside an answer, a new record's row is inserted at once, with the engine's next ID.
    EXPECT_EQ(Model().AddDomainName("later.example").ID(), 5);
    EXPECT_EQ(Count("DomainNames WHERE DomainName='later.example' AND Modified=1"), 1);
}

// The standing of the account and the version on offer, read from any answer.
TEST_F(SynchronizationTest, ReportsAClosedAccountAndOffersANewVersionOncePerRun) {
    StartWithAnswers({});
    std::vector<std::string> closed;
    std::vector<std::string> offered;
    Model().OnAccountClosed = [&](TAccountStatus, const std::string& title, const std::string& text) {
        closed.push_back(title + " " + text);
    };
    Model().OnNewVersion = [&](const std::string& version) { offered.push_back(version); };

    Model().ApplySynchronization(*Answered("<DataVersion>4</DataVersion><AccountStatus>TERMINATED</AccountStatus>"));
    Model().ApplySynchronization(*Answered("<DataVersion>5</DataVersion><AccountStatus>suspended</AccountStatus>"));
    Model().ApplySynchronization(*Answered(Accepted));
    ASSERT_EQ(closed.size(), 2u);
    EXPECT_EQ(closed[0], "Tessivar Account Terminated! Your account has been terminated. Please contact "
                         "support@tessivar.com for more information.");
    EXPECT_EQ(closed[1], "Tessivar Account Suspended! Your account has been suspended. Please contact "
                         "support@tessivar.com for more information.");
    EXPECT_EQ(Cell("SELECT DataVersion FROM Configuration"), "7"); // the rest is applied in every case

    for (const char* version : {"", "01.02.0000", "00.00.0000"})
        Model().ApplySynchronization(*Answered(Accepted + "<SoftwareVersion>" + version + "</SoftwareVersion>"));
    EXPECT_TRUE(offered.empty());
    EXPECT_FALSE(Model().NewVersionShown());
    // Also offered with an error answer; only once per run.
    Model().ApplySynchronization(*Answered("<ErrorMessages><ErrorMessage/></ErrorMessages>"
                                           "<SoftwareVersion>01.03.0000</SoftwareVersion>"));
    Model().ApplySynchronization(*Answered(Accepted + "<SoftwareVersion>01.04.0000</SoftwareVersion>"));
    EXPECT_EQ(offered, std::vector<std::string>{"01.03.0000"});
}

// ---- Retrying a failed synchronisation ----------------------------------------------------------

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

// Short delays, so that the tests wait for milliseconds where the program waits for minutes.
const TSynchronizationRetryDelays QuickRetries{100ms, 250ms};

std::chrono::milliseconds Between(TClock::time_point from, TClock::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from);
}

// The reference web service in the test process, on a port chosen by the test, over a database that
// outlives each run of it: the service can go away and come back.
class TReferenceService {
public:
    TReferenceService(const std::filesystem::path& folder, int port) {
        TServiceConfig config;
        config.Port = port;
        config.DatabaseFile = (folder / "service.db").string();
        config.OutboxFolder = (folder / "outbox").string();
        m_Service = std::make_unique<TDevService>(config);
        m_Port = m_Service->Bind();
        m_Service->SetRequestObserver([this](const TServedRequest& request) {
            std::lock_guard lock(m_Lock);
            m_Bodies.push_back(request.Body);
        });
        m_Runner = std::thread([this] { m_Service->Run(); });
    }
    ~TReferenceService() {
        m_Service->Stop();
        m_Runner.join();
    }
    int Port() const { return m_Port; }
    std::string Host() const { return "127.0.0.1:" + std::to_string(m_Port); }
    std::vector<std::string> Bodies() const {
        std::lock_guard lock(m_Lock);
        return m_Bodies;
    }

private:
    std::unique_ptr<TDevService> m_Service;
    int m_Port = 0;
    std::thread m_Runner;
    mutable std::mutex m_Lock;
    std::vector<std::string> m_Bodies;
};

class SynchronizationRetryTest : public TServiceModelTest {};

} // namespace

// The service is away when the model first synchronises; once it is back, the queued sender reaches
// it within the longest retry delay, although nothing changed locally in the meantime.
TEST_F(SynchronizationRetryTest, AQueueThatFailedToGoOutReachesTheServiceOnceItIsBack) {
    const std::filesystem::path folder = m_Dir + "service";
    std::filesystem::create_directories(folder);
    int port = 0;
    {
        TReferenceService service(folder, 0);
        port = service.Port();
        auto argument = TXMLNode::ParseString("<AccountCreate><AccountCreateArgument><Username>me@example.com"
                                              "</Username><Password>secret</Password></AccountCreateArgument>"
                                              "</AccountCreate>");
        TInternetSession session;
        THTTPConnection connection(session);
        auto answer = SOAPCall(connection, service.Host(), "Client.asmx", *argument, ServiceNamespace, "AccountCreate");
        ASSERT_NE(answer->Children().Find("AccountCreateResult"), nullptr);
    }
    ::setenv(ServiceHostVariable, ("127.0.0.1:" + std::to_string(port)).c_str(), 1);
    m_Model = std::make_unique<TTessivarBusinessLogic>(m_Loop);
    m_Model->Server().Session().SetConnectTimeout(std::chrono::seconds(2));
    m_Model->Load();
    Model().SetUsername("me@example.com");
    Model().SetPassword("secret");
    Db().Insert(
        "EmailAddressesRequiringAuthorization",
        {"FromEmailAddress", "FromDisplayName", "ToEmailAddress", "ToDisplayName", "Subject", "Received", "SyncID"},
        {"stranger@example.org", "Stranger", "me@example.com", "Me", "Hello", TSQLValue::DateTime(46000.5), -1});
    TSynchronizationRetry retry(m_Loop, Model(), QuickRetries);

    Model().Synchronize(true);
    ServeUntilLogged("Server synchronization failed.", 3); // the first one and two retries
    EXPECT_EQ(Count("EmailAddressesRequiringAuthorization"), 1);

    TReferenceService service(folder, port);
    const TClock::time_point back = TClock::now();
    ServeUntilLogged("Server synchronization complete.");
    EXPECT_LT(Between(back, TClock::now()), QuickRetries.Longest + 5s);
    EXPECT_EQ(Count("EmailAddressesRequiringAuthorization"), 0);
    const std::vector<std::string> bodies = service.Bodies();
    ASSERT_EQ(bodies.size(), 1u);
    EXPECT_NE(bodies[0].find("<FromEmailAddress>stranger@example.org</FromEmailAddress>"), std::string::npos);
    EXPECT_FALSE(retry.Armed());
}

// Each failure waits twice as long as the one before, up to the longest delay; an answer that is
// merged starts the delays afresh, and with nothing left to send no retry is made at all.
TEST_F(SynchronizationTest, RetriesWaitLongerAfterEachFailureUntilAnAnswerIsMerged) {
    StartWithAnswers({"", "", "", "", Accepted, ""});
    QueueRow("stranger@example.com");
    TSynchronizationRetry retry(m_Loop, Model(), QuickRetries);

    SynchronizeAndWait();
    ServeUntilLogged("Server synchronization complete.");
    const std::vector<TClock::time_point> arrivals = Arrivals();
    ASSERT_EQ(arrivals.size(), 5u);
    // A timer may be late, never early: 100, 200, then 250 and 250 ms at least.
    EXPECT_GE(Between(arrivals[0], arrivals[1]), 100ms);
    EXPECT_GE(Between(arrivals[1], arrivals[2]), 200ms);
    EXPECT_GE(Between(arrivals[2], arrivals[3]), 250ms);
    EXPECT_GE(Between(arrivals[3], arrivals[4]), 250ms);
    EXPECT_LT(Between(arrivals[3], arrivals[4]), 2s); // the delay stops growing
    EXPECT_EQ(LogItems("Server synchronization failed."), 4);
    EXPECT_EQ(Count("EmailAddressesRequiringAuthorization"), 0);
    EXPECT_FALSE(retry.Armed());
    EXPECT_EQ(retry.NextDelay(), QuickRetries.First);

    // Nothing is marked or queued: a failure leaves the service alone.
    SynchronizeAndWait();
    EXPECT_EQ(LogItems("Server synchronization failed."), 5);
    EXPECT_FALSE(retry.Armed());

    // A sender changed while the service is away is sent again after the first delay.
    m_Service.reset();
    Model().AddEmailAddress("friend@example.net", "Friend").Approve();
    SynchronizeAndWait();
    EXPECT_TRUE(retry.Armed());
    EXPECT_EQ(retry.NextDelay(), 2 * QuickRetries.First);
    ServeUntilLogged("Server synchronization failed.", 7);
}
