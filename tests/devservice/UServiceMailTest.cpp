// The mail the service writes: header lines that client text cannot break, and delivery through a
// relay that speaks SMTP on loopback.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "DevServiceFixture.h"
#include "devservice/UServiceMail.h"

namespace {

TChallenge HostileChallenge() {
    TChallenge challenge;
    challenge.AccountID = 1;
    challenge.Token = std::string(64, 'a');
    challenge.AccountEmailAddress = "user@example.org";
    challenge.Request = {"bob@example.com",
                         "Bob\r\nBcc: victim@example.net \"quoted\"",
                         "user@example.org",
                         "",
                         "Hi\r\nBcc: victim@example.net",
                         "2026-12-07T10:15:00.0000000+01:00"};
    return challenge;
}

// A one-connection SMTP relay on loopback that accepts one message and keeps the conversation.
class TOneMessageRelay {
public:
    TOneMessageRelay() {
        m_Listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_Listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(m_Listener, 1);
        socklen_t size = sizeof address;
        getsockname(m_Listener, reinterpret_cast<sockaddr*>(&address), &size);
        m_Port = ntohs(address.sin_port);
        m_Thread = std::thread([this] { Serve(); });
    }
    ~TOneMessageRelay() {
        shutdown(m_Listener, SHUT_RDWR);
        m_Thread.join();
        close(m_Listener);
    }
    int Port() const { return m_Port; }
    // Everything the client sent; read after the transport's Send returned.
    const std::string& Received() const { return m_Received; }

private:
    void Serve() {
        const int peer = accept(m_Listener, nullptr, nullptr);
        if (peer < 0)
            return;
        timeval timeout{10, 0};
        setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        auto say = [peer](const std::string& line) { (void)!write(peer, line.data(), line.size()); };
        say("220 relay ESMTP\r\n");
        bool data = false;
        std::string pending;
        char buffer[4096];
        for (ssize_t n; (n = read(peer, buffer, sizeof buffer)) > 0;) {
            m_Received.append(buffer, static_cast<size_t>(n));
            pending.append(buffer, static_cast<size_t>(n));
            size_t end;
            while (!data && (end = pending.find("\r\n")) != std::string::npos) {
                const std::string command = pending.substr(0, 4);
                pending.erase(0, end + 2);
                if (command == "DATA") {
                    say("354 go on\r\n");
                    data = true;
                } else if (command == "QUIT") {
                    say("221 bye\r\n");
                    close(peer);
                    return;
                } else {
                    say("250 ok\r\n");
                }
            }
            if (data && (end = pending.find("\r\n.\r\n")) != std::string::npos) {
                pending.erase(0, end + 5);
                data = false;
                say("250 queued\r\n");
            }
        }
        close(peer);
    }

    int m_Listener = -1;
    int m_Port = 0;
    std::thread m_Thread;
    std::string m_Received;
};

} // namespace

TEST(ServiceMail, ClientTextCannotAddHeaderLines) {
    const TOutgoingMail mail = AuthenticationRequestMail(HostileChallenge(), "http://127.0.0.1:8085/", 0);
    EXPECT_EQ(MailHeader(mail.Text, "Bcc"), "");
    EXPECT_EQ(MailHeader(mail.Text, "To"), "\"Bob  Bcc: victim@example.net \\\"quoted\\\"\" <bob@example.com>");
    EXPECT_EQ(MailHeader(mail.Text, "Subject"), "Please confirm your message: Hi  Bcc: victim@example.net");
    EXPECT_EQ(MailHeader(mail.Text, "Date"), "Thu, 01 Jan 1970 00:00:00 +0000");
    EXPECT_NE(mail.Text.find("\r\nhttp://127.0.0.1:8085/authenticate.aspx?token=" + std::string(64, 'a') + "\r\n"),
              std::string::npos);
    EXPECT_EQ(mail.EnvelopeFrom, "user@example.org");
    EXPECT_EQ(mail.EnvelopeTo, "bob@example.com");

    // Text beyond ASCII becomes encoded words, cut on character boundaries.
    EXPECT_EQ(HeaderText("Grüße", 100), "=?UTF-8?B?R3LDvMOfZQ==?=");
    EXPECT_EQ(HeaderText("Grüße", 3), "Gr");
    EXPECT_FALSE(IsMailbox("bob@example.com>\r\nBcc: x@y"));
    EXPECT_FALSE(IsMailbox("no-at-sign"));
    EXPECT_TRUE(IsMailbox("first.last+tag@sub.example.com"));
}

TEST(ServiceMail, RelayReceivesTheRequestWithTheAccountAsEnvelopeSender) {
    TOneMessageRelay relay;
    auto transport = NewSMTPTransport("smtp://127.0.0.1:" + std::to_string(relay.Port()));
    TChallenge challenge = HostileChallenge();
    challenge.Request.Subject = ".starts with a dot";
    const TOutgoingMail mail = AuthenticationRequestMail(challenge, "http://127.0.0.1:8085", 0);
    ASSERT_NO_THROW(transport->Send(mail));
    const std::string& received = relay.Received();
    EXPECT_NE(received.find("MAIL FROM:<user@example.org>"), std::string::npos) << received;
    EXPECT_NE(received.find("RCPT TO:<bob@example.com>"), std::string::npos) << received;
    EXPECT_NE(received.find("\r\nX-Tessivar: Authentication-Request\r\n"), std::string::npos);
    EXPECT_NE(received.find("\r\nSubject: Please confirm your message: .starts with a dot\r\n"), std::string::npos);
    EXPECT_NE(received.find("\r\n.\r\nQUIT\r\n"), std::string::npos) << "the message ends once, then QUIT";
}

TEST(ServiceMail, RefusedRelayIsReportedAsAFailure) {
    auto transport = NewSMTPTransport("smtp://127.0.0.1:1");
    EXPECT_THROW(transport->Send(AuthenticationRequestMail(HostileChallenge(), "http://x", 0)), MailTransportException);
}
