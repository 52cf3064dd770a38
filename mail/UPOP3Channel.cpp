#include "mail/UPOP3Channel.h"

#include "mail/USockets.h"

TPOP3Channel::TPOP3Channel(std::unique_ptr<TSocketStream> stream) : m_Stream(std::move(stream)) {}

TPOP3Channel::~TPOP3Channel() = default;

bool TPOP3Channel::ReadLine(std::string& line) {
    char buffer[8192];
    while (!m_Lines.Next(line)) {
        const std::size_t received = m_Stream->Read(buffer, sizeof buffer);
        if (received == 0)
            return false;
        m_Lines.Append(std::string_view(buffer, received));
    }
    return true;
}

void TPOP3Channel::Write(std::string_view text) {
    m_Stream->Write(text);
}

void TPOP3Channel::WriteLine(std::string_view line) {
    std::string text;
    text.reserve(line.size() + 2);
    text.append(line);
    text.append("\r\n");
    m_Stream->Write(text);
}

void TPOP3Channel::Close() {
    m_Stream->Close();
}

bool TPOP3Channel::IsOpen() const {
    return m_Stream->IsOpen();
}
