// The bounds that keep the reference service from being used against others: no mail from an
// address its owner has not confirmed, daily caps on the mail it sends, throttled sign-ins and
// account creation, and HTTP requests that cannot hold memory or threads.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "DevServiceFixture.h"
#include "devservice/UAttemptThrottle.h"
#include "devservice/UHTTPRequestHead.h"
#include "devservice/UServiceLimits.h"

namespace {

const std::string Account = "user@example.org";

std::string Credentials(const std::string& username = Account, const std::string& password = "secret") {
    return "<Username>" + username + "</Username><Password>" + password + "</Password>";
}

std::string SyncArgument(const std::string& extra, const std::string& username = Account,
                         const std::string& password = "secret") {
    return Credentials(username, password) + "<SoftwareVersion>01.02.0000</SoftwareVersion>"
                                             "<ClientDataVersion>0</ClientDataVersion>" +
           extra;
}

std::string Queue(const std::vector<std::string>& senders) {
    std::string rows = "<EmailAddressesRequiringAuthorization>";
    for (const std::string& sender : senders)
        rows += "<EmailAddressRequiringAuthorization><FromEmailAddress>" + sender +
                "</FromEmailAddress><Subject>Hello</Subject><Received>2026-03-02T10:00:00.0000000+00:00</Received>"
                "</EmailAddressRequiringAuthorization>";
    return rows + "</EmailAddressesRequiringAuthorization>";
}

std::vector<std::string> Requests(const std::vector<std::string>& mails) {
    std::vector<std::string> requests;
    for (const std::string& mail : mails)
        if (MailHeader(mail, "X-Tessivar") == "Authentication-Request")
            requests.push_back(mail);
    return requests;
}

std::string Between(const std::string& text, const std::string& start, size_t length) {
    const size_t at = text.find(start);
    return at == std::string::npos ? std::string() : text.substr(at + start.size(), length);
}

// A raw client connection on loopback; closed by the destructor.
class TRawClient {
public:
    explicit TRawClient(int port) {
        m_Socket = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_Connected = connect(m_Socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~TRawClient() { close(m_Socket); }
    TRawClient(const TRawClient&) = delete;
    TRawClient& operator=(const TRawClient&) = delete;

    bool Connected() const { return m_Connected; }
    // Sends what the peer takes; stops quietly when it has closed.
    void Send(const std::string& data) {
        size_t sent = 0;
        while (sent < data.size()) {
            const ssize_t count = send(m_Socket, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (count <= 0)
                return;
            sent += static_cast<size_t>(count);
        }
    }
    // Everything until the peer closes or `seconds` pass.
    std::string ReadAll(int seconds) { return ReadFor(std::chrono::seconds(seconds)); }
    std::string ReadFor(std::chrono::milliseconds time) {
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + time;
        char buffer[4096];
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd entry{m_Socket, POLLIN, 0};
            if (poll(&entry, 1, 100) <= 0)
                continue;
            const ssize_t count = recv(m_Socket, buffer, sizeof buffer, 0);
            if (count <= 0)
                break;
            text.append(buffer, static_cast<size_t>(count));
        }
        return text;
    }

private:
    int m_Socket = -1;
    bool m_Connected = false;
};

class ServiceLimitsTest : public DevServiceTest {
protected:
    void CreateAccount(const std::string& username, bool confirm = true) {
        ASSERT_EQ(ErrorCount(Result("AccountCreate", Credentials(username))), 0) << username;
        if (confirm) {
            ASSERT_TRUE(ConfirmAddress()) << username;
        }
    }
    void AdvanceHours(int hours) { *m_Now += int64_t{hours} * 3600; }
};

} // namespace

// ---- Mail only from confirmed addresses, within the caps ---------------------------------------

TEST_F(ServiceLimitsTest, NoChallengeGoesOutBeforeTheOwnerConfirmsTheAddress) {
    CreateAccount(Account, false);
    auto mails = OutboxMails();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(MailHeader(mails[0], "To"), Account);
    EXPECT_EQ(MailHeader(mails[0], "Auto-Submitted"), "auto-generated");
    const std::string token = Between(mails[0], "/confirm.aspx?token=", 64);
    ASSERT_EQ(token.size(), 64u) << mails[0];

    // The queued sender waits; a synchronisation within a day sends no second link. The held
    // confirmation mail itself, from the account's own address, is never answered by a request.
    ASSERT_EQ(ErrorCount(Result("Synchronize", SyncArgument(Queue({"bob@example.com", "USER@example.org"})))), 0);
    EXPECT_EQ(OutboxMails().size(), 1u);

    // Opening the link changes nothing; the button confirms and the waiting request goes out.
    const THTTPResult page = Get(BaseURL() + "/confirm.aspx?token=" + token);
    EXPECT_EQ(page.Status, 200);
    EXPECT_NE(page.Body.find("method=\"post\""), std::string::npos);
    EXPECT_TRUE(Requests(OutboxMails()).empty());
    EXPECT_EQ(Post(BaseURL() + "/confirm.aspx", "token=" + token, "application/x-www-form-urlencoded").Status, 200);
    const auto requests = Requests(OutboxMails());
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(MailHeader(requests[0], "To"), "bob@example.com");
    EXPECT_EQ(Post(BaseURL() + "/confirm.aspx", "token=" + token, "application/x-www-form-urlencoded").Status, 404);
    EXPECT_EQ(Post(BaseURL() + "/confirm.aspx", "token=" + std::string(64, 'a'), "application/x-www-form-urlencoded")
                  .Status,
              404);
}

TEST_F(ServiceLimitsTest, UnconfirmedAddressGetsANewLinkOnlyAfterADayAndAnOldLinkExpires) {
    CreateAccount(Account, false);
    const std::string first = Between(OutboxMails()[0], "/confirm.aspx?token=", 64);
    Result("Synchronize", SyncArgument({}));
    EXPECT_EQ(OutboxMails().size(), 1u);
    AdvanceDays(8);
    EXPECT_EQ(Get(BaseURL() + "/confirm.aspx?token=" + first).Status, 410);
    Result("Synchronize", SyncArgument({}));
    const auto mails = OutboxMails();
    ASSERT_EQ(mails.size(), 2u);
    EXPECT_EQ(Post(BaseURL() + "/confirm.aspx", "token=" + first, "application/x-www-form-urlencoded").Status, 404)
        << "a new link replaces the old one";
    EXPECT_TRUE(ConfirmAddress());
}

TEST_F(ServiceLimitsTest, OneRecipientGetsAtMostTheDailyCapFromAllAccountsTogether) {
    for (int i = 0; i <= MaxMailsPerRecipientPerDay; ++i) {
        const std::string account = "user" + std::to_string(i) + "@example.org";
        if (i > 0 && i % MaxAccountCreatesPerAddress == 0)
            AdvanceHours(1);
        CreateAccount(account);
        Result("Synchronize", SyncArgument(Queue({"victim@example.net"}), account));
    }
    EXPECT_EQ(Requests(OutboxMails()).size(), static_cast<size_t>(MaxMailsPerRecipientPerDay));
    // The one held back goes out the next day without the program sending it again.
    AdvanceDays(1);
    Result("Synchronize", SyncArgument({}, "user" + std::to_string(MaxMailsPerRecipientPerDay) + "@example.org"));
    EXPECT_EQ(Requests(OutboxMails()).size(), static_cast<size_t>(MaxMailsPerRecipientPerDay) + 1);
}

TEST_F(ServiceLimitsTest, OneAccountSendsAtMostTheDailyCapAndTheRestWaits) {
    CreateAccount(Account);
    std::vector<std::string> senders;
    for (int i = 0; i < MaxChallengesPerAccountPerDay + 20; ++i)
        senders.push_back("sender" + std::to_string(i) + "@example.net");
    Result("Synchronize", SyncArgument(Queue(senders)));
    EXPECT_EQ(Requests(OutboxMails()).size(), static_cast<size_t>(MaxChallengesPerAccountPerDay));
    Result("Synchronize", SyncArgument({}));
    EXPECT_EQ(Requests(OutboxMails()).size(), static_cast<size_t>(MaxChallengesPerAccountPerDay));
    AdvanceDays(1);
    Result("Synchronize", SyncArgument({}));
    EXPECT_EQ(Requests(OutboxMails()).size(), senders.size());
}

// ---- Throttled account creation and sign-in ----------------------------------------------------

TEST_F(ServiceLimitsTest, AccountCreationAndWrongPasswordsAreThrottledPerClientAddress) {
    for (int i = 0; i < MaxAccountCreatesPerAddress; ++i)
        CreateAccount("new" + std::to_string(i) + "@example.org", false);
    TXMLNode& refused = Result("AccountCreate", Credentials("late@example.org"));
    EXPECT_EQ(ErrorCode(refused), "8");
    EXPECT_EQ(ChildText(Result("AccountAvailability", Credentials("late@example.org")), "AccountStatus"), "Undefined");
    AdvanceHours(1);
    CreateAccount("late@example.org", false);

    for (int i = 0; i < MaxPasswordFailuresPerAddress; ++i)
        EXPECT_EQ(ErrorCode(Result("Synchronize", SyncArgument({}, "new0@example.org", "guess"))), "4");
    // Now even the right password is refused from this address, on every path that checks one.
    EXPECT_EQ(ErrorCode(Result("Synchronize", SyncArgument({}, "new0@example.org"))), "8");
    EXPECT_EQ(ErrorCode(Result("AccountSetPassword", Credentials("new0@example.org") + "<NewPassword>x</NewPassword>")),
              "8");
    EXPECT_EQ(Post(BaseURL() + "/members/accountSetup.aspx", "username=new0%40example.org&password=secret",
                   "application/x-www-form-urlencoded")
                  .Status,
              429);
    *m_Now += PasswordFailureWindowSeconds;
    EXPECT_EQ(ErrorCount(Result("Synchronize", SyncArgument({}, "new0@example.org"))), 0);
}

TEST(AttemptThrottle, RefusesAKeyOverTheLimitUntilTheWindowPassesAndStaysBounded) {
    TAttemptThrottle throttle(3, 60, 2);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(throttle.Allows("a", 100 + i));
        throttle.Record("a", 100 + i);
    }
    EXPECT_FALSE(throttle.Allows("a", 110));
    EXPECT_TRUE(throttle.Allows("b", 110));
    EXPECT_TRUE(throttle.Allows("a", 160)) << "the first attempt left the window";
    // A third key pushes out the least recently used one, never the busy one.
    throttle.Record("b", 105);
    throttle.Record("a", 150);
    throttle.Record("c", 152);
    EXPECT_FALSE(throttle.Allows("a", 152));
}

// ---- Pages and mail -----------------------------------------------------------------------------

TEST_F(ServiceLimitsTest, MembersPageTakesCredentialsFromThePostBodyOnly) {
    CreateAccount(Account);
    const std::string page = BaseURL() + "/members/accountSetup.aspx";
    EXPECT_EQ(Post(page + "?username=user%40example.org&password=secret", "", "application/x-www-form-urlencoded")
                  .Status,
              403);
    EXPECT_EQ(Post(page + "?password=secret", "username=user%40example.org", "application/x-www-form-urlencoded")
                  .Status,
              403);
    EXPECT_EQ(Post(page, "username=user%40example.org&password=secret", "application/x-www-form-urlencoded").Status,
              200);
}

TEST_F(ServiceLimitsTest, ChallengeSaysWhyAndThePageShowsTheDateAsTheMailDoes) {
    CreateAccount(Account);
    Result("Synchronize", SyncArgument(Queue({"bob@example.com"})));
    const auto requests = Requests(OutboxMails());
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].find("You receive this mail because a message from your address reached " + Account +
                               ", who screens mail from unknown senders; if you did not write to them, you need not "
                               "do anything."),
              std::string::npos)
        << requests[0];
    const THTTPResult page = Get(BaseURL() + "/authenticate.aspx?token=" + Between(requests[0], "?token=", 64));
    EXPECT_NE(page.Body.find("2026-03-02 10:00 +00:00"), std::string::npos) << page.Body;
    EXPECT_EQ(page.Body.find("T10:00:00"), std::string::npos) << page.Body;
}

// Explicit modes, whatever the umask of the process that runs the service.
TEST_F(ServiceLimitsTest, DatabaseAndOutboxAreOwnerOnlyWhateverTheUmask) {
    const mode_t previous = umask(022);
    CreateAccount(Account, false);
    umask(previous);
    const auto others = std::filesystem::perms::group_all | std::filesystem::perms::others_all;
    for (const auto& file : {m_Folder / "service.db", m_Folder / "service.db-wal", m_Folder / "outbox"})
        EXPECT_EQ(std::filesystem::status(file).permissions() & others, std::filesystem::perms::none) << file;
    for (const auto& entry : std::filesystem::directory_iterator(m_Folder / "outbox"))
        EXPECT_EQ(entry.status().permissions() & others, std::filesystem::perms::none) << entry.path();
}

// ---- HTTP bounds ----------------------------------------------------------------------------------

TEST_F(ServiceLimitsTest, BodiesWithoutALengthAndOversizedHeadsAreRefusedUnread) {
    const std::string chunked = "POST /Client.asmx HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
    TRawClient client(m_Port);
    client.Send(chunked + "10000\r\n" + std::string(0x10000, 'x') + "\r\n");
    EXPECT_EQ(client.ReadAll(10).rfind("HTTP/1.1 411 ", 0), 0u);

    TRawClient unsized(m_Port);
    unsized.Send("POST /Client.asmx HTTP/1.1\r\nHost: x\r\n\r\n<a/>");
    EXPECT_EQ(unsized.ReadAll(10).rfind("HTTP/1.1 411 ", 0), 0u);

    std::string many = "GET /help/help.html HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 100'000; ++i)
        many += "X-Line: " + std::to_string(i) + "\r\n";
    TRawClient crowded(m_Port);
    crowded.Send(many + "\r\n");
    EXPECT_EQ(crowded.ReadAll(10).rfind("HTTP/1.1 431 ", 0), 0u);

    TRawClient wide(m_Port);
    wide.Send("GET /help/help.html HTTP/1.1\r\nX-Wide: " + std::string(MaxRequestHeadBytes, 'w') + "\r\n\r\n");
    EXPECT_EQ(wide.ReadAll(10).rfind("HTTP/1.1 431 ", 0), 0u);

    EXPECT_EQ(Get(BaseURL() + "/help/help.html").Status, 200);
}

TEST_F(ServiceLimitsTest, SlowClientsNeitherStallOthersNorOutliveTheHeadDeadline) {
    std::vector<std::unique_ptr<TRawClient>> slow;
    for (int i = 0; i < 16; ++i) {
        slow.push_back(std::make_unique<TRawClient>(m_Port));
        slow.back()->Send("POST /Client.asmx HTTP/1.1\r\n");
    }
    std::atomic<bool> trickling = true;
    std::thread trickler([&] {
        while (trickling) {
            for (auto& client : slow)
                client->Send("X");
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Get(BaseURL() + "/help/help.html").Status, 200);
    EXPECT_EQ(ChildText(Result("AccountAvailability", Credentials()), "AccountStatus"), "Undefined");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    // Trickling does not extend the deadline of the head.
    EXPECT_EQ(slow[0]->ReadAll(RequestHeadDeadlineSeconds + 5).rfind("HTTP/1.1 408 ", 0), 0u);
    trickling = false;
    trickler.join();
}

TEST_F(ServiceLimitsTest, OneClientAddressHoldsAtMostItsShareOfConnections) {
    // Idle connections are held open one by one until one is refused: the library accepts them one
    // at a time, so a connection is refused once all before it are admitted, which the short wait
    // after each gives the service time for even on a loaded machine (well within the head deadline).
    std::vector<std::unique_ptr<TRawClient>> idle;
    std::string answer;
    while (idle.size() < 2 * MaxConnectionsPerAddress && answer.empty()) {
        idle.push_back(std::make_unique<TRawClient>(m_Port));
        answer = idle.back()->ReadFor(std::chrono::milliseconds(150));
    }
    EXPECT_EQ(answer.rfind("HTTP/1.1 503 ", 0), 0u) << answer;
    EXPECT_GT(idle.size(), MaxConnectionsPerAddress);
    EXPECT_LE(idle.size(), MaxConnectionsPerAddress + 2);
    idle.clear();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Get(BaseURL() + "/help/help.html").Status, 200);
}

TEST(RequestHead, JudgesTheHeadFromWhatHasArrivedSoFar) {
    const std::string head = "POST /Client.asmx HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n";
    for (size_t cut = 0; cut < head.size(); ++cut)
        ASSERT_EQ(InspectRequestHead(head.substr(0, cut)).State, TRequestHead::TState::Incomplete) << cut;
    const TRequestHead complete = InspectRequestHead(head + "<a/>");
    ASSERT_EQ(complete.State, TRequestHead::TState::Complete);
    EXPECT_EQ(complete.HeadBytes, head.size());
    EXPECT_EQ(complete.BodyBytes, 4u);
    EXPECT_TRUE(complete.ExpectsContinue);
    EXPECT_EQ(complete.Head, "POST /Client.asmx HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\n");

    EXPECT_EQ(InspectRequestHead("POST / HTTP/1.1\r\nContent-Length: 4\r\nContent-Length: 5\r\n\r\n").Status, 400);
    EXPECT_EQ(InspectRequestHead("POST / HTTP/1.1\r\nContent-Length: -4\r\n\r\n").Status, 400);
    EXPECT_EQ(InspectRequestHead("POST / HTTP/1.1\r\ntransfer-encoding: identity\r\n\r\n").Status, 411);
    EXPECT_EQ(InspectRequestHead("POST / HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n").Status, 413);
    EXPECT_EQ(InspectRequestHead("GET / HTTP/1.1\r\n\r\n").State, TRequestHead::TState::Complete);
}
