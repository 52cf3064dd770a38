#include "mail/UPOP3Client.h"

#include "mail/UPOP3Channel.h"
#include "mail/USockets.h"

TPOP3Client::TPOP3Client() : m_Abort(std::make_shared<TAbortSignal>()) {}

TPOP3Client::~TPOP3Client() = default;

void TPOP3Client::Connect(int timeoutMs) {
    Disconnect();
    try {
        m_Channel = std::make_unique<TPOP3Channel>(TSocketStream::Connect(m_Host, m_Port, timeoutMs, m_Abort));
        ExpectSuccess(ReadReply());
        ExpectSuccess(SendCommand("USER " + m_Username));
        ExpectSuccess(SendCommand("PASS " + m_Password));
    } catch (...) {
        CloseConnection();
        throw;
    }
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

bool TPOP3Client::RetrieveRaw(int number, TStringArray& lines) {
    lines.clear();
    if (!SendCommand("RETR " + std::to_string(number)).Success)
        return false;
    bool overlong = false;
    for (;;) {
        std::string line;
        try {
            line = ReadLine();
        } catch (const EPOP3LineTooLong&) {
            // Keep reading to the end of this message so the next command finds the server in step.
            overlong = true;
            continue;
        }
        if (IsPOP3Terminator(line))
            break;
        if (!overlong)
            lines.push_back(UnstuffPOP3Line(line));
    }
    if (overlong) {
        lines.clear();
        throw EPOP3LineTooLong("Max line length exceeded.");
    }
    return true;
}

void TPOP3Client::Delete(int number) {
    ExpectSuccess(SendCommand("DELE " + std::to_string(number)));
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

bool TPOP3Client::Connected() const {
    return m_Channel != nullptr;
}

void TPOP3Client::Abort() {
    m_Abort->Raise();
}

TPOP3Reply TPOP3Client::ReadReply() {
    try {
        return ParsePOP3Reply(ReadLine());
    } catch (const EPOP3Exception&) {
        // After an unreadable status line nobody knows what follows it.
        CloseConnection();
        throw;
    }
}

TPOP3Reply TPOP3Client::SendCommand(const std::string& line) {
    try {
        Channel().WriteLine(line);
    } catch (const ESocketException&) {
        CloseConnection();
        throw;
    }
    return ReadReply();
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
    m_Channel.reset();
}
