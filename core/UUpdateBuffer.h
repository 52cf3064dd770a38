#pragma once
// A nesting begin/end-update counter with handlers at the outermost begin and end. Used only by
// the thread of its owner.

#include <exception>
#include <functional>
#include <string>
#include <string_view>

class TUpdateBuffer;
using TUpdateBufferEvent = std::function<void(TUpdateBuffer&)>;

class TUpdateBuffer {
public:
    explicit TUpdateBuffer(std::string name = {}, TUpdateBufferEvent onUpdate = {}, TUpdateBufferEvent onEnd = {},
                           TUpdateBufferEvent onBegin = {});
    // Open brackets at destruction are reported in the trace ("Illegal TUpdateBuffer destruction
    // state: ..."); a destructor never throws.
    ~TUpdateBuffer();
    TUpdateBuffer(const TUpdateBuffer&) = delete;
    TUpdateBuffer& operator=(const TUpdateBuffer&) = delete;

    bool IsUpdating() const { return m_Count > 0; }
    int Count() const { return m_Count; }
    // Calls the begin handler when the outermost bracket opens. If it fails, the failure passes on
    // and the bracket is not opened (the count stays as it was), so the caller has nothing to close.
    void BeginUpdate();
    // Raises Exception "Illegal update state: ..." without a matching BeginUpdate. When the outermost
    // bracket closes, the update handler runs, then the end handler; if the update handler fails,
    // the end handler is skipped, the failure passes on and the count stays 0.
    void EndUpdate();

private:
    std::string m_Name;
    int m_Count = 0;
    TUpdateBufferEvent m_OnUpdate, m_OnEnd, m_OnBegin;
};

// The counting of a TUpdateBuffer without its handlers, for objects kept by the hundred thousand
// (the model's records): 16 bytes where a buffer with its three handlers takes 136. Its owner runs
// its own work when the outermost bracket closes. The same texts and traces as a buffer's.
class TUpdateCounter {
public:
    // `name` must outlive the counter (a literal).
    explicit TUpdateCounter(const char* name) : m_Name(name) {}
    ~TUpdateCounter();
    TUpdateCounter(const TUpdateCounter&) = delete;
    TUpdateCounter& operator=(const TUpdateCounter&) = delete;

    bool IsUpdating() const { return m_Count > 0; }
    int Count() const { return m_Count; }
    void BeginUpdate() { ++m_Count; }
    // Raises Exception "Illegal update state: ..." without a matching BeginUpdate; true when the
    // outermost bracket closed.
    bool EndUpdate();

private:
    const char* m_Name;
    int m_Count = 0;
};

// Holds one bracket of any object with BeginUpdate/EndUpdate for a scope; the bracket is closed on
// every exit path. A failure of EndUpdate during normal exit passes on; during unwinding it is
// dropped so the original failure wins.
template <class T> class TUpdateScope {
public:
    explicit TUpdateScope(T& target) : m_Target(target) { m_Target.BeginUpdate(); }
    ~TUpdateScope() noexcept(false) {
        if (std::uncaught_exceptions() > m_Uncaught) {
            try {
                m_Target.EndUpdate();
            } catch (...) {
            }
        } else {
            m_Target.EndUpdate();
        }
    }
    TUpdateScope(const TUpdateScope&) = delete;
    TUpdateScope& operator=(const TUpdateScope&) = delete;

private:
    T& m_Target;
    int m_Uncaught = std::uncaught_exceptions();
};
