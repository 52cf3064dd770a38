#include "tests/support/ScriptedPOP3Server.h"

#include "mail/UPOP3Channel.h"
#include "mail/USockets.h"

TScriptedPeer::TScriptedPeer(TPOP3Channel& channel, std::function<void(const std::string&)> record)
    : m_Channel(channel), m_Record(std::move(record)) {}

void TScriptedPeer::Send(std::string_view raw) {
    m_Channel.Write(raw);
}

void TScriptedPeer::SendLine(std::string_view line) {
    m_Channel.WriteLine(line);
}

std::optional<std::string> TScriptedPeer::ReadLine() {
    std::string line;
    if (!m_Channel.ReadLine(line))
        return std::nullopt;
    m_Record(line);
    return line;
}

void TScriptedPeer::Answer(std::string_view reply) {
    if (ReadLine())
        SendLine(reply);
}

bool TScriptedPeer::HasBufferedInput() const {
    return m_Channel.HasBufferedInput();
}

void TScriptedPeer::WaitForClose() {
    while (ReadLine()) {
    }
}

TScriptedPOP3Server::TScriptedPOP3Server(TScript script)
    : m_Script(std::move(script)), m_Abort(std::make_shared<TAbortSignal>()),
      m_Listener(std::make_unique<TSocketListener>("127.0.0.1", 0, 5)), m_Port(m_Listener->Port()) {
    m_Thread = std::thread([this] { Run(); });
}

TScriptedPOP3Server::~TScriptedPOP3Server() {
    m_Abort->Raise();
    m_Thread.join();
}

std::vector<std::string> TScriptedPOP3Server::Received() const {
    std::lock_guard lock(m_Lock);
    return m_Received;
}

void TScriptedPOP3Server::Run() {
    for (;;) {
        std::unique_ptr<TSocketStream> stream;
        try {
            stream = m_Listener->Accept(m_Abort);
        } catch (const std::exception&) {
            return;
        }
        if (!stream)
            return;
        TPOP3Channel channel(std::move(stream));
        TScriptedPeer peer(channel, [this](const std::string& line) {
            std::lock_guard lock(m_Lock);
            m_Received.push_back(line);
        });
        try {
            m_Script(peer);
        } catch (const std::exception&) {
            // Aborted at destruction, or the client went away: the script simply ends.
        }
    }
}
