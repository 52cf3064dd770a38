#pragma once
// A POP3 line channel over one socket stream: buffered line reading and CR LF terminated writing.
// Thread contract: used by one thread at a time, the one that owns it; the stream's abort signal may
// be raised from any thread to wake a blocked read or write.

#include <memory>
#include <string>
#include <string_view>

#include "mail/UPOP3Lines.h"

class TSocketStream;

class TPOP3Channel {
public:
    // Takes ownership of the stream.
    explicit TPOP3Channel(std::unique_ptr<TSocketStream> stream);
    ~TPOP3Channel();
    TPOP3Channel(const TPOP3Channel&) = delete;
    TPOP3Channel& operator=(const TPOP3Channel&) = delete;

    // Reads the next line without its line end; false when the peer closed the stream (an unfinished
    // last line is dropped). Raises EPOP3LineTooLong "Max line length exceeded." for an overlong line,
    // after which the channel continues with the line after it; socket failures raise ESocketException.
    bool ReadLine(std::string& line);
    // Writes text as it stands; callers end each line with CR LF.
    void Write(std::string_view text);
    // Writes one line and its CR LF.
    void WriteLine(std::string_view line);
    void Close();
    bool IsOpen() const;
    // The longest line ReadLine accepts from now on (POP3MaxLineLength at first).
    void SetMaxLineLength(std::size_t length) { m_Lines.SetMaxLineLength(length); }
    std::size_t MaxLineLength() const { return m_Lines.MaxLineLength(); }
    // Bytes were received that no ReadLine has handed out yet.
    bool HasBufferedInput() const { return m_Lines.HasPartialLine(); }
    TSocketStream& Stream() { return *m_Stream; }

private:
    std::unique_ptr<TSocketStream> m_Stream;
    TLineAssembler m_Lines;
};
