#include "base/UDebug.h"

#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <ctime>
#include <mutex>
#include <new>
#include <utility>

#include "base/LDates.h"
#include "base/UFileUtils.h"
#include "base/UWindows.h"

namespace {

// Module state. It lives for the whole process and is never destroyed, so that modules tracing
// from their own static destructors still find it.
struct TDebugState {
    std::mutex InitLock; // serialises (re-)initialisation
    std::atomic<bool> Initialized{false};
    std::atomic<bool> DebugMode{false};
    std::atomic<bool> LogToFile{false};
    std::atomic<bool> UseLocalServices{false};

    std::mutex EntryLock;    // held for the writing of one whole entry
    int FileDescriptor = -1; // Guarded by EntryLock.
    std::string FileName;    // Guarded by EntryLock.
    bool PipeBroken = false; // a write of the current entry met a pipe without reader; guarded by EntryLock
};

TDebugState& State() {
    alignas(TDebugState) static unsigned char storage[sizeof(TDebugState)];
    static TDebugState* state = new (storage) TDebugState;
    return *state;
}

void CloseFile(TDebugState& state) {
    if (state.FileDescriptor >= 0) {
        ::close(state.FileDescriptor);
    }
    state.FileDescriptor = -1;
    state.FileName.clear();
    state.LogToFile = false;
}

// Reads the switches and opens the log file. Called with InitLock held.
void Initialize(TDebugState& state) {
    const bool debugMode = HasParam("debug");
    const bool logToFile = HasParam("log");
    const bool useLocalServices = HasParam("local");

    int fd = -1;
    std::string fileName;
    if (debugMode && logToFile) {
        try {
            const std::string directory = ProgramDirectory() + "Logs/";
            if (MakeDirectoryPath(directory)) {
                fileName = directory + FormatDateTime("YYYYMMDDHHNNSSZZZ", Now()) + ".log";
                fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_APPEND, 0600);
            }
        } catch (...) {
            fd = -1;
        }
        if (fd < 0) {
            fileName.clear(); // No log file for this run; entries still go to the console.
        }
    }

    std::lock_guard entry(state.EntryLock);
    CloseFile(state);
    state.FileDescriptor = fd;
    state.FileName = std::move(fileName);
    state.DebugMode = debugMode;
    state.LogToFile = fd >= 0;
    state.UseLocalServices = useLocalServices;
    state.Initialized = true;
}

TDebugState& InitializedState() {
    TDebugState& state = State();
    if (!state.Initialized.load(std::memory_order_acquire)) {
        try {
            std::lock_guard init(state.InitLock);
            if (!state.Initialized.load(std::memory_order_acquire)) {
                Initialize(state);
            }
        } catch (...) {
            // Tracing stays off when even the switches cannot be read.
        }
    }
    return state;
}

// Writes the whole piece with unbuffered writes; a short write is retried so the entry stays whole.
// Returns false when a write failed because the descriptor is a pipe whose reader has gone.
bool WriteAll(int fd, std::string_view piece) {
    size_t written = 0;
    while (written < piece.size()) {
        const ssize_t count = ::write(fd, piece.data() + written, piece.size() - written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return !(count < 0 && errno == EPIPE);
        }
        written += static_cast<size_t>(count);
    }
    return true;
}

// Writes one piece of an entry to the console and the log file. Called with EntryLock held;
// failures are ignored, the entry goes on.
void WritePiece(TDebugState& state, std::string_view piece) {
    if (piece.empty()) {
        return;
    }
    // Standard output may be a pipe to a pager the user has quit: the write fails, and the entry
    // still goes to the file.
    if (!WriteAll(STDOUT_FILENO, piece)) {
        state.PipeBroken = true;
    }
    if (state.FileDescriptor >= 0 && !WriteAll(state.FileDescriptor, piece)) {
        state.PipeBroken = true;
    }
}

// Keeps the writes of one entry from raising SIGPIPE, whose default action ends the process: the
// signal is blocked in this thread while the entry is written, and one that the writes raised is
// taken back before the old mask returns. Constructed and destroyed with EntryLock held.
class TSigPipeGuard {
public:
    explicit TSigPipeGuard(TDebugState& state) noexcept : m_State(state) {
        m_State.PipeBroken = false;
        sigemptyset(&m_Pipe);
        sigaddset(&m_Pipe, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        // A SIGPIPE already waiting is not ours to take.
        m_WasPending = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        m_Blocked = ::pthread_sigmask(SIG_BLOCK, &m_Pipe, &m_Old) == 0;
    }
    ~TSigPipeGuard() {
        if (!m_Blocked) {
            return;
        }
        const int savedErrno = errno;
        if (m_State.PipeBroken && !m_WasPending) {
            const timespec none{};
            while (::sigtimedwait(&m_Pipe, nullptr, &none) < 0 && errno == EINTR) {
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &m_Old, nullptr);
        errno = savedErrno;
    }
    TSigPipeGuard(const TSigPipeGuard&) = delete;
    TSigPipeGuard& operator=(const TSigPipeGuard&) = delete;

private:
    TDebugState& m_State;
    sigset_t m_Pipe;
    sigset_t m_Old;
    bool m_WasPending = false;
    bool m_Blocked = false;
};

struct THeapFigures {
    size_t Allocated = 0;
    size_t Free = 0;
};

THeapFigures ReadHeapFigures() {
    const struct mallinfo2 info = mallinfo2();
    return THeapFigures{info.uordblks, info.fordblks};
}

std::string HeaderLine(const THeapFigures& heap) {
    return FormatDateTime("HH:NN:SS.ZZZ", Now()) + ": Allocated: " + std::to_string(heap.Allocated) +
           ", Free: " + std::to_string(heap.Free) + " Thread ID: " + std::to_string(::gettid()) + ".\r\n";
}

// Writes one entry: header line, the body pieces that writeBody produces, the empty line.
template <class TBody> void WriteEntry(TBody&& writeBody) noexcept {
    try {
        TDebugState& state = InitializedState();
        if (!state.DebugMode.load(std::memory_order_relaxed)) {
            return;
        }
        const THeapFigures heap = ReadHeapFigures();
        std::lock_guard lock(state.EntryLock);
        const TSigPipeGuard noSigPipe(state);
        try {
            WritePiece(state, HeaderLine(heap));
        } catch (...) {
        }
        writeBody(state);
        WritePiece(state, "\r\n");
    } catch (...) {
        // Tracing never fails its caller.
    }
}

} // namespace

std::string TDebugValue::Text() const {
    struct TVisitor {
        std::string operator()(std::monostate) const { return {}; }
        std::string operator()(const std::string& text) const { return text; }
        std::string operator()(int64_t value) const { return std::to_string(value); }
        std::string operator()(uint64_t value) const { return std::to_string(value); }
        std::string operator()(bool value) const { return value ? "True" : "False"; }
        std::string operator()(double value) const {
            // Shortest text that reads back as the same value; "." is always the decimal separator.
            char buffer[64];
            const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
            return std::string(buffer, result.ptr);
        }
    };
    return std::visit(TVisitor{}, m_Value);
}

void InitializeDebugLog() {
    try {
        TDebugState& state = State();
        std::lock_guard init(state.InitLock);
        Initialize(state);
    } catch (...) {
    }
}

void FinalizeDebugLog() {
    TDebugState& state = State();
    std::lock_guard lock(state.EntryLock);
    CloseFile(state);
}

bool DebugMode() {
    return InitializedState().DebugMode.load(std::memory_order_relaxed);
}
bool LogToFile() {
    return InitializedState().LogToFile.load(std::memory_order_relaxed);
}
bool UseLocalServices() {
    return InitializedState().UseLocalServices.load(std::memory_order_relaxed);
}

std::string DebugLogFileName() {
    TDebugState& state = InitializedState();
    std::lock_guard lock(state.EntryLock);
    return state.FileName;
}

void Debug(const TDebugValue& value) {
    WriteEntry([&](TDebugState& state) {
        WritePiece(state, "\t");
        std::string line;
        try {
            line = value.Text();
        } catch (...) {
            line = "Invalid variant value for debug.";
        }
        line += "\r\n";
        WritePiece(state, line);
    });
}

void DebugList(std::initializer_list<TDebugValue> values) {
    WriteEntry([&](TDebugState& state) {
        WritePiece(state, "\t");
        for (const TDebugValue& value : values) {
            try {
                WritePiece(state, value.Text());
            } catch (...) {
                WritePiece(state, "INVALID");
            }
        }
        WritePiece(state, "\r\n");
    });
}

void DebugException(std::string_view objectClass, const std::exception& error) {
    WriteEntry([&](TDebugState& state) {
        WritePiece(state, "\t");
        WritePiece(state, objectClass);
        WritePiece(state, "\r\n\tEXCEPTION: ");
        WritePiece(state, error.what());
        WritePiece(state, "\r\n");
    });
}
