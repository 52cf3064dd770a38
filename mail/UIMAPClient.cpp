#include "mail/UIMAPClient.h"

#include <openssl/evp.h>
#include <poll.h>

#include <algorithm>

#include "base/LStrings.h"
#include "base/UDebug.h"
#include "mail/USockets.h"
#include "mail/UTLS.h"
#include "mail/UTLSFailure.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr std::size_t TracedLength = 200;
constexpr std::size_t ReadChunk = 64 * 1024;

// The first line of what went out or came in, shortened; " ..." marks what is left out.
void Trace(const std::string& direction, std::string_view text) {
    if (!DebugMode())
        return;
    const std::string_view line = text.substr(0, text.find_first_of("\r\n"));
    const bool more = line.size() + 2 < text.size();
    std::string shown(line.substr(0, TracedLength));
    if (more || line.size() > TracedLength)
        shown += " ...";
    Debug("IMAPClient: " + direction + " " + shown);
}

std::string Base64(std::string_view data) {
    std::string out(4 * ((data.size() + 2) / 3), '\0');
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                        reinterpret_cast<const unsigned char*>(data.data()),
                                        static_cast<int>(data.size()));
    out.resize(static_cast<std::size_t>(std::max(written, 0)));
    return out;
}

} // namespace

bool IsIMAPCredentialRefusal(const TIMAPResponse& response) {
    for (const char* code : {"UNAVAILABLE", "SERVERBUG", "INUSE", "LIMIT", "CORRUPTION", "PRIVACYREQUIRED",
                             "CLIENTBUG", "OVERQUOTA"})
        if (response.Code == code)
            return false;
    return true;
}

TIMAPClient::TIMAPClient(TIMAPServer server, std::string trustedCertificatesFile,
                         std::shared_ptr<TAbortSignal> abort)
    : m_Server(std::move(server)), m_TrustFile(std::move(trustedCertificatesFile)),
      m_Abort(abort ? std::move(abort) : std::make_shared<TAbortSignal>()) {}

TIMAPClient::~TIMAPClient() = default;

void TIMAPClient::Connect(const std::string& password, int timeoutMs) {
    // The connect time-out covers the TCP connection and the TLS handshake.
    const auto deadline = steady_clock::now() + milliseconds(std::max(timeoutMs, 0));
    const auto remaining = [&] {
        if (timeoutMs <= 0)
            return 0;
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        return static_cast<int>(std::max<long long>(left, 1));
    };
    const bool implicitTLS = m_Server.Security == TIMAPSecurity::ImplicitTLS;
    CloseConnection();
    try {
        Trace("connecting to", m_Server.Host + ":" + std::to_string(m_Server.Port) +
                                   (implicitTLS ? " (TLS)" : " (STARTTLS)"));
        m_Stream = TSocketStream::Connect(m_Server.Host, m_Server.Port, timeoutMs, m_Abort);
        // Until the login is done the connect time-out bounds every wait, the greeting's included.
        const auto limitReads = [&] {
            m_Stream->SetReadTimeout(timeoutMs > 0 ? std::min(remaining(), IMAPReadTimeoutMs) : IMAPReadTimeoutMs);
        };
        m_Stream->EnableKeepAlive();
        if (implicitTLS)
            StartTLS(remaining());
        limitReads();
        const TIMAPResponse greeting = ReadResponseNow();
        if (greeting.Kind != TIMAPResponse::TKind::Untagged ||
            (greeting.Status != "OK" && greeting.Status != "PREAUTH" && greeting.Status != "BYE"))
            throw EIMAPException("Not an IMAP server: " + greeting.Name + greeting.Text);
        if (greeting.Status == "BYE")
            throw EIMAPException("The server refused the connection: " + greeting.Text);
        const bool preauthenticated = greeting.Status == "PREAUTH";
        if (greeting.Code == "CAPABILITY")
            SetCapabilities(greeting.CodeText);
        if (!implicitTLS) {
            // Logged in before TLS, nothing can be protected any more.
            if (preauthenticated)
                throw ETLSFailure("The server logged in without STARTTLS.", STARTTLSMissingReason);
            if (m_Capabilities.empty())
                AskCapabilities();
            if (!HasCapability("STARTTLS"))
                throw ETLSFailure("The server does not offer STARTTLS.", STARTTLSMissingReason);
            const TResult started = Command("STARTTLS");
            // Announced, then refused: someone between us and the server may be stripping TLS.
            if (!started.OK())
                throw ETLSFailure("The server refused STARTTLS: " + IMAPStatusText(started.Tagged),
                                  STARTTLSRefusedReason);
            StartTLS(remaining());
            // What was announced in clear may have been changed on the way.
            m_Capabilities.clear();
        }
        limitReads();
        if (m_Capabilities.empty())
            AskCapabilities();
        limitReads();
        if (!preauthenticated)
            Login(password);
        m_Stream->SetReadTimeout(IMAPReadTimeoutMs);
        Trace("connected over", m_Stream->TLSDescription());
    } catch (...) {
        CloseConnection();
        throw;
    }
}

std::string TIMAPClient::EncryptionDescription() const {
    return m_Stream ? m_Stream->TLSDescription() : std::string();
}

void TIMAPClient::StartTLS(int timeoutMs) {
    // Plain bytes that came after the last response would be taken as if they had come over TLS.
    if (m_Assembler.HasPending())
        throw ETLSException("The server sent data before the TLS handshake.");
    if (!m_TLSContext || m_TLSContext->TrustFileChanged())
        m_TLSContext = std::make_unique<TTLSContext>(m_TrustFile);
    Stream().StartTLS(*m_TLSContext, m_Server.Host, timeoutMs);
}

void TIMAPClient::AskCapabilities() {
    ExpectOK(Command("CAPABILITY"), "CAPABILITY");
}

void TIMAPClient::SetCapabilities(const std::string& list) {
    m_Capabilities.clear();
    for (const std::string& name : SplitText(list, " "))
        if (!name.empty())
            m_Capabilities.insert(UpperCase(name));
}

void TIMAPClient::Login(const std::string& password) {
    const std::string& user = m_Server.Username;
    for (const std::string* text : {&user, &password})
        if (text->find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
            throw EIMAPLoginRefused("The user name or the password holds a line break or a NUL character.");
    TResult result;
    if (HasCapability("AUTH=PLAIN")) {
        const std::string response = Base64(std::string(1, '\0') + user + std::string(1, '\0') + password);
        if (HasCapability("SASL-IR"))
            result = Command({TPart{TPart::TKind::Text, "AUTHENTICATE PLAIN " + response}}, true);
        else
            result = Command({TPart{TPart::TKind::Text, "AUTHENTICATE PLAIN"},
                              TPart{TPart::TKind::ContinuationLine, response}},
                             true);
    } else if (HasCapability("LOGINDISABLED")) {
        throw EIMAPException("The server allows no login.");
    } else {
        std::vector<TPart> parts = {TPart{TPart::TKind::Text, "LOGIN "}};
        for (const std::string* text : {&user, &password}) {
            if (text == &password)
                parts.push_back(TPart{TPart::TKind::Text, " "});
            if (const std::optional<std::string> quoted = QuotedIMAPString(*text))
                parts.push_back(TPart{TPart::TKind::Text, *quoted});
            else
                parts.push_back(TPart{TPart::TKind::Literal, *text});
        }
        result = Command(parts, true);
    }
    if (!result.OK()) {
        const std::string text = IMAPStatusText(result.Tagged);
        if (result.Tagged.Status == "NO" && IsIMAPCredentialRefusal(result.Tagged))
            throw EIMAPLoginRefused(text);
        throw EIMAPException("The server did not log in: " + text);
    }
    // The capabilities may grow with the login.
    if (result.Tagged.Code == "CAPABILITY")
        SetCapabilities(result.Tagged.CodeText);
    else
        AskCapabilities();
}

TIMAPClient::TResult TIMAPClient::Command(const std::vector<TPart>& parts, bool secret) {
    Stream();
    const std::string tag = "T" + std::to_string(m_NextTag++);
    std::string out = tag + " ";
    // A command that carries the password is traced by its name alone.
    std::string traced = out;
    if (secret) {
        const std::string& first = parts.front().Data;
        const std::size_t blank = first.find(' ');
        const std::size_t second = blank == std::string::npos ? blank : first.find(' ', blank + 1);
        traced += Trim(first.substr(0, first.starts_with("AUTHENTICATE") ? second : blank)) + " ****";
    }
    TResult result;
    // Waits for the server's go-ahead; false when it answered the command instead.
    const auto continued = [&] {
        for (;;) {
            TIMAPResponse response = ReadResponseNow();
            if (response.Kind == TIMAPResponse::TKind::Continuation)
                return true;
            if (response.Kind == TIMAPResponse::TKind::Tagged) {
                if (response.Tag != tag)
                    OutOfStep("Response to an unknown command: " + response.Tag);
                result.Tagged = std::move(response);
                return false;
            }
            NoteUntagged(response);
            result.Untagged.push_back(std::move(response));
        }
    };
    const bool literalPlus = HasCapability("LITERAL+");
    bool answered = false;
    for (const TPart& part : parts) {
        if (answered)
            break;
        switch (part.Kind) {
        case TPart::TKind::Text:
            out += part.Data;
            if (!secret)
                traced += part.Data;
            break;
        case TPart::TKind::Literal:
            if (!secret)
                traced += "{" + std::to_string(part.Data.size()) + "}";
            if (literalPlus) {
                out += "{" + std::to_string(part.Data.size()) + "+}\r\n" + part.Data;
            } else {
                out += "{" + std::to_string(part.Data.size()) + "}\r\n";
                Write(out);
                out.clear();
                answered = !continued();
                if (!answered)
                    out = part.Data;
            }
            break;
        case TPart::TKind::ContinuationLine:
            Write(out + "\r\n");
            answered = !continued();
            out = answered ? std::string() : part.Data;
            break;
        }
    }
    Trace(">", traced);
    if (!answered) {
        Write(out + "\r\n");
        for (;;) {
            TIMAPResponse response = ReadResponseNow();
            if (response.Kind == TIMAPResponse::TKind::Tagged) {
                if (response.Tag != tag)
                    OutOfStep("Response to an unknown command: " + response.Tag);
                result.Tagged = std::move(response);
                break;
            }
            if (response.Kind == TIMAPResponse::TKind::Continuation) {
                if (!secret)
                    OutOfStep("Unexpected continuation request: " + response.Text);
                // A second challenge of AUTHENTICATE is answered by cancelling.
                Write("*\r\n");
                continue;
            }
            NoteUntagged(response);
            result.Untagged.push_back(std::move(response));
        }
    }
    if (result.Tagged.Status == "BAD" || result.Tagged.Status == "NO")
        Trace("<", tag + " " + IMAPStatusText(result.Tagged));
    return result;
}

void TIMAPClient::ExpectOK(const TResult& result, const std::string& command) {
    if (!result.OK())
        throw EIMAPException(command + " failed: " + IMAPStatusText(result.Tagged));
}

std::optional<TIMAPResponse> TIMAPClient::ReadResponse(std::optional<steady_clock::time_point> deadline) {
    TSocketStream& stream = Stream();
    try {
        std::string raw;
        while (!m_Assembler.Next(raw)) {
            if (deadline) {
                const auto left = std::chrono::duration_cast<milliseconds>(*deadline - steady_clock::now()).count();
                if (left <= 0)
                    return std::nullopt;
                stream.SetReadTimeout(static_cast<int>(std::min<long long>(left, INT32_MAX)));
            }
            char buffer[ReadChunk];
            std::size_t received = 0;
            try {
                received = stream.Read(buffer, sizeof buffer);
            } catch (const ESocketTimedOut&) {
                if (!deadline)
                    throw;
                stream.SetReadTimeout(IMAPReadTimeoutMs);
                return std::nullopt;
            }
            if (deadline)
                stream.SetReadTimeout(IMAPReadTimeoutMs);
            if (received == 0)
                throw ESocketException("Connection closed by the server" +
                                       (m_ByeText.empty() ? std::string(".") : ": " + m_ByeText));
            m_Assembler.Append(std::string_view(buffer, received));
        }
        Trace("<", raw);
        TIMAPResponse response = ParseIMAPResponse(raw);
        if (response.Status == "BYE")
            m_ByeText = response.Text;
        return response;
    } catch (...) {
        CloseConnection();
        throw;
    }
}

void TIMAPClient::NoteUntagged(const TIMAPResponse& response) {
    if (response.Name == "CAPABILITY") {
        std::string list;
        for (const TIMAPValue& value : response.Values)
            list += value.AsText() + " ";
        SetCapabilities(list);
    } else if (response.Status == "OK" && response.Code == "CAPABILITY") {
        SetCapabilities(response.CodeText);
    } else if (response.Number && response.Name == "EXISTS") {
        if (*response.Number > m_Exists)
            m_ChangePending = true;
        m_Exists = *response.Number;
    } else if (response.Number && response.Name == "EXPUNGE") {
        m_Exists = m_Exists > 0 ? m_Exists - 1 : 0;
        m_ChangePending = m_ChangePending || !m_OwnChanges;
    } else if (response.Number && response.Name == "FETCH") {
        m_ChangePending = m_ChangePending || !m_OwnChanges;
    }
}

void TIMAPClient::SendLine(const std::string& line) {
    Write(line + "\r\n");
    Trace(">", line);
}

void TIMAPClient::Write(const std::string& text) {
    try {
        Stream().Write(text);
    } catch (...) {
        CloseConnection();
        throw;
    }
}

void TIMAPClient::OutOfStep(const std::string& message) {
    CloseConnection();
    throw EIMAPException(message);
}

TSocketStream& TIMAPClient::Stream() {
    if (m_Abort->Raised())
        throw ESocketAborted("Connection aborted.");
    if (!m_Stream)
        throw EIMAPException("Not connected.");
    return *m_Stream;
}

void TIMAPClient::CloseConnection() {
    m_Stream.reset();
    m_Assembler = TIMAPResponseAssembler();
    m_Selected = false;
}

void TIMAPClient::Logout() {
    if (!m_Stream)
        return;
    try {
        Command("LOGOUT");
    } catch (const ESocketException&) {
        // The connection is going away anyway.
    } catch (const EIMAPException&) {
    }
    CloseConnection();
}

void TIMAPClient::Abort() {
    m_Abort->Raise();
}
