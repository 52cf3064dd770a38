#include "core/UUpdateBuffer.h"

#include "base/UDebug.h"
#include "base/UException.h"

namespace {

std::string PendingText(int count, std::string_view name) {
    return std::to_string(count) + " updates pending for buffer \"" + std::string(name) + "\".";
}

// A bracket left open is a programming error; it is traced, never fatal.
void TraceOpenBrackets(int count, std::string_view name) noexcept {
    if (count <= 0)
        return;
    try {
        Debug("Illegal TUpdateBuffer destruction state: " + PendingText(count, name));
    } catch (...) {
    }
}

} // namespace

TUpdateBuffer::TUpdateBuffer(std::string name, TUpdateBufferEvent onUpdate, TUpdateBufferEvent onEnd,
                             TUpdateBufferEvent onBegin)
    : m_Name(std::move(name)), m_OnUpdate(std::move(onUpdate)), m_OnEnd(std::move(onEnd)),
      m_OnBegin(std::move(onBegin)) {}

TUpdateBuffer::~TUpdateBuffer() {
    TraceOpenBrackets(m_Count, m_Name);
}

void TUpdateBuffer::BeginUpdate() {
    // A failing begin handler leaves the bracket unopened: the caller, whose BeginUpdate failed,
    // will not close it, so raising the count would leave the buffer updating for good.
    if (m_Count == 0 && m_OnBegin) {
        m_OnBegin(*this);
    }
    ++m_Count;
}

void TUpdateBuffer::EndUpdate() {
    if (m_Count < 1) {
        throw Exception("Illegal update state: " + PendingText(m_Count, m_Name));
    }
    if (--m_Count == 0) {
        if (m_OnUpdate) {
            m_OnUpdate(*this);
        }
        if (m_OnEnd) {
            m_OnEnd(*this);
        }
    }
}

TUpdateCounter::~TUpdateCounter() {
    TraceOpenBrackets(m_Count, m_Name);
}

bool TUpdateCounter::EndUpdate() {
    if (m_Count < 1) {
        throw Exception("Illegal update state: " + PendingText(m_Count, m_Name));
    }
    return --m_Count == 0;
}
