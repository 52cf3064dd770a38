#include "mail/UPOP3Client.h"

#include <algorithm>
#include <chrono>

#include "core/UTessivarEmail.h"
#include "mail/UPOP3Channel.h"
#include "mail/USockets.h"
#include "mail/UTLS.h"
#include "mail/UTLSFailure.h"

namespace {

// What one received line counts against the message size limit: its bytes and line end, and at
// least what holding a line costs in memory.
std::size_t LineCost(const std::string& line) {
    return std::max(line.size() + 2, sizeof(std::string));
}


} // namespace

bool IsCredentialRefusal(std::string_view replyText) {
    const std::string text = TrimLeft(std::string(replyText));
    for (const char* code : {"[IN-USE]", "[LOGIN-DELAY]", "[SYS/TEMP]", "[SYS/PERM]"})
        if (StartsWithText(code, text, false))
            return false;
    return true;
}

TPOP3Client::TPOP3Client() : m_Abort(std::make_shared<TAbortSignal>()) {}

TPOP3Client::~TPOP3Client() = default;

void TPOP3Client::Connect(int timeoutMs) {
    Disconnect();
    m_LoginInClear = false;
    // The connect time-out covers the TCP connection and the TLS handshake.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    const auto remaining = [&] {
        if (timeoutMs <= 0)
            return 0;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        return static_cast<int>(std::max<long long>(left, 1));
    };
    const bool implicitTLS = m_Security == TConnectionSecurity::ImplicitTLS ||
                             (m_Security == TConnectionSecurity::Automatic && m_Port == POP3SPort);
    const bool tryTLS = m_Security == TConnectionSecurity::Automatic || m_Security == TConnectionSecurity::STLS;
    try {
        m_Channel = std::make_unique<TPOP3Channel>(TSocketStream::Connect(m_Host, m_Port, timeoutMs, m_Abort));
        // A server that falls silent (a half-open connection after a network change) must not hold
        // the account for ever.
        m_Channel->Stream().SetReadTimeout(POP3ReadTimeoutMs);
        m_Channel->Stream().EnableKeepAlive();
        if (implicitTLS)
            StartTLS(remaining());
        ExpectSuccess(ReadReply());
        if (!implicitTLS && tryTLS) {
            if (ServerOffersSTLS()) {
                const TPOP3Reply reply = SendCommand("STLS");
                // Announced, then refused: someone between us and the server may be stripping TLS.
                if (!reply.Success)
                    throw ETLSFailure("The server refused STLS: " + TrimLeft(reply.Text), STLSRefusedReason);
                StartTLS(remaining());
            } else if (m_Security == TConnectionSecurity::STLS) {
                throw ETLSFailure("The server does not offer STLS.", STLSMissingReason);
            }
        }
        m_LoginInClear = !Encrypted();
        ExpectLoginSuccess(SendCommand("USER " + m_Username));
        ExpectLoginSuccess(SendCommand("PASS " + m_Password));
    } catch (...) {
        CloseConnection();
        throw;
    }
}

void TPOP3Client::SetTrustedCertificatesFile(std::string path) {
    if (path != m_TrustFile)
        m_TLSContext.reset();
    m_TrustFile = std::move(path);
}

std::string TPOP3Client::IgnoredTrustFile() const {
    return m_TLSContext ? m_TLSContext->IgnoredTrustFile() : std::string();
}

bool TPOP3Client::Encrypted() const {
    return m_Channel && m_Channel->Stream().Secure();
}

std::string TPOP3Client::EncryptionDescription() const {
    return m_Channel ? m_Channel->Stream().TLSDescription() : std::string();
}

bool TPOP3Client::ReadCapabilities(TStringArray& capabilities) {
    capabilities.clear();
    if (!SendCommand("CAPA").Success)
        return false;
    bool tooLarge = false;
    ReadMultiLine(
        [&](std::string line) {
            const std::string trimmed = Trim(line);
            capabilities.push_back(trimmed.substr(0, trimmed.find(' ')));
        },
        tooLarge);
    if (tooLarge)
        capabilities.clear();
    return !tooLarge;
}

bool TPOP3Client::ServerOffersSTLS() {
    TStringArray capabilities;
    return ReadCapabilities(capabilities) &&
           std::any_of(capabilities.begin(), capabilities.end(), [](const std::string& name) {
               return SameText(name, "STLS");
           });
}

bool TPOP3Client::OffersPipelining() {
    TStringArray capabilities;
    return ReadCapabilities(capabilities) &&
           std::any_of(capabilities.begin(), capabilities.end(), [](const std::string& name) {
               return SameText(name, "PIPELINING");
           });
}

void TPOP3Client::StartTLS(int timeoutMs) {
    // Plain bytes that came after the last reply would be taken as if they had come over TLS.
    if (Channel().HasBufferedInput())
        throw ETLSException("The server sent data before the TLS handshake.");
    if (!m_TLSContext || m_TLSContext->TrustFileChanged())
        m_TLSContext = std::make_unique<TTLSContext>(m_TrustFile);
    Channel().Stream().StartTLS(*m_TLSContext, m_Host, timeoutMs);
}

int TPOP3Client::Stat() {
    const TPOP3Reply reply = SendCommand("STAT");
    ExpectSuccess(reply);
    if (reply.Text.empty())
        return 0;
    const std::size_t blank = reply.Text.find(' ');
    int32_t count = 0;
    if (blank == std::string::npos || !TryStrToInt(std::string_view(reply.Text).substr(0, blank), count))
        throw EPOP3Exception("Invalid STAT reply: \"" + reply.Text + "\"");
    return count;
}

std::map<int, std::string> TPOP3Client::UniqueIDs() {
    std::map<int, std::string> ids;
    if (!SendCommand("UIDL").Success)
        return ids;
    std::map<int, int> seen;
    bool tooLarge = false;
    ReadMultiLine(
        [&](std::string line) {
            const std::size_t blank = line.find(' ');
            int32_t number = 0;
            if (blank == std::string::npos || !TryStrToInt(std::string_view(line).substr(0, blank), number))
                return;
            const std::string id = Trim(line.substr(blank + 1));
            if (!IsValidUIDL(id))
                return;
            if (++seen[number] == 1)
                ids[number] = id;
            else
                ids.erase(number);
        },
        tooLarge);
    if (tooLarge)
        ids.clear();
    return ids;
}

bool TPOP3Client::RetrieveRaw(int number, TStringArray& lines) {
    SendRetrieve(number);
    return ReceiveRetrieved(lines);
}

void TPOP3Client::SendRetrieve(int number) {
    QueueCommand("RETR " + std::to_string(number));
}

bool TPOP3Client::ReceiveRetrieved(TStringArray& lines) {
    lines.clear();
    if (!ReadReply().Success)
        return false;
    bool tooLarge = false;
    const std::size_t size = ReadMultiLine([&](std::string line) { lines.push_back(std::move(line)); }, tooLarge);
    if (tooLarge) {
        TStringArray().swap(lines);
        throw EPOP3MessageTooLarge(size);
    }
    return true;
}

template <typename TTake>
std::size_t TPOP3Client::ReadMultiLine(TTake&& take, bool& tooLarge) {
    // Lines of the answer may be as long as the answer may be large; status lines keep their limit.
    // A failure closes the channel, and the next connection starts with the status line limit.
    struct TLimit {
        const std::unique_ptr<TPOP3Channel>& Open;
        TPOP3Channel* const Channel;
        ~TLimit() {
            if (Open.get() == Channel)
                Channel->SetMaxLineLength(POP3MaxLineLength);
        }
    } limit{m_Channel, &Channel()};
    limit.Channel->SetMaxLineLength(POP3MaximumMessageSize);

    std::size_t size = 0;
    std::size_t cost = 0;
    tooLarge = false;
    for (;;) {
        std::string line;
        try {
            line = ReadLine();
        } catch (const EPOP3LineTooLong&) {
            // The line alone is over the limit; its bytes were dropped as they came.
            tooLarge = true;
            size += POP3MaximumMessageSize + 1;
            continue;
        }
        if (IsPOP3Terminator(line))
            return size;
        size += line.size() + 2;
        cost += LineCost(line);
        if (cost > POP3MaximumMessageSize)
            tooLarge = true;
        if (!tooLarge)
            take(UnstuffPOP3Line(line));
    }
}

void TPOP3Client::Delete(int number) {
    ExpectSuccess(SendCommand("DELE " + std::to_string(number)));
}

void TPOP3Client::SendDelete(int number) {
    QueueCommand("DELE " + std::to_string(number));
}

bool TPOP3Client::ReceiveDeleted() {
    return ReadReply().Success;
}

void TPOP3Client::Disconnect() {
    if (!m_Channel)
        return;
    try {
        m_Channel->WriteLine("QUIT");
    } catch (const ESocketException&) {
        // The connection is going away anyway.
    }
    CloseConnection();
}

bool TPOP3Client::Quit() {
    if (!m_Channel)
        return false;
    bool confirmed = false;
    try {
        confirmed = SendCommand("QUIT").Success;
    } catch (const EPOP3Exception&) {
        // An unreadable reply confirms nothing.
    } catch (const ESocketAborted&) {
        CloseConnection();
        throw;
    } catch (const ESocketException&) {
        // Lost before the reply came: nobody knows whether the server removed the messages.
    }
    CloseConnection();
    return confirmed;
}

void TPOP3Client::Abandon() {
    CloseConnection();
}

bool TPOP3Client::Connected() const {
    return m_Channel != nullptr;
}

void TPOP3Client::Abort() {
    m_Abort->Raise();
}

TPOP3Reply TPOP3Client::ReadReply() {
    WriteQueued();
    try {
        return ParsePOP3Reply(ReadLine());
    } catch (const EPOP3Exception&) {
        // After an unreadable status line nobody knows what follows it.
        CloseConnection();
        throw;
    }
}

TPOP3Reply TPOP3Client::SendCommand(const std::string& line) {
    QueueCommand(line);
    return ReadReply();
}

void TPOP3Client::QueueCommand(const std::string& line) {
    Channel(); // a closed connection fails at once, not at the read
    m_Queued.append(line);
    m_Queued.append("\r\n");
}

void TPOP3Client::WriteQueued() {
    if (m_Queued.empty())
        return;
    const std::string text = std::move(m_Queued);
    m_Queued.clear();
    try {
        Channel().Write(text);
    } catch (const ESocketException&) {
        CloseConnection();
        throw;
    }
}

void TPOP3Client::ExpectLoginSuccess(const TPOP3Reply& reply) {
    if (reply.Success)
        return;
    const std::string text = TrimLeft(reply.Text);
    if (IsCredentialRefusal(text))
        throw EPOP3LoginRefused(text.empty() ? "-ERR" : text);
    throw EPOP3Exception(text);
}

void TPOP3Client::ExpectSuccess(const TPOP3Reply& reply) {
    if (reply.Success)
        return;
    const std::string text = TrimLeft(reply.Text);
    throw EPOP3Exception(text.empty() ? "-ERR" : text);
}

std::string TPOP3Client::ReadLine() {
    std::string line;
    bool received = false;
    try {
        received = Channel().ReadLine(line);
    } catch (const ESocketException&) {
        CloseConnection();
        throw;
    }
    if (!received) {
        CloseConnection();
        throw ESocketException("Connection closed by the server.");
    }
    return line;
}

TPOP3Channel& TPOP3Client::Channel() {
    if (!m_Channel)
        throw EPOP3Exception("Not connected.");
    return *m_Channel;
}

void TPOP3Client::CloseConnection() {
    m_Queued.clear();
    m_Channel.reset();
}
