#include "base/URegistryStore.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "base/UDebug.h"
#include "base/UFileUtils.h"
#include "base/URegistry.h"
#include "base/URegistryText.h"
#include "base/URegistryTree.h"
#include "base/UWindows.h"

namespace {

// A file larger than this is not a registry anybody wrote by hand or through us; it is refused.
constexpr off_t MaxFileSize = 64 * 1024 * 1024;
// A change made within this many seconds of the last look may keep size and time stamp equal to
// what we saw (coarse file system clocks); the text is then compared as well.
constexpr time_t RacyWindowSeconds = 2;
constexpr size_t MaxReportedProblems = 20;

struct TFileSignature {
    bool Exists = false;
    dev_t Device = 0;
    ino_t Inode = 0;
    off_t Size = 0;
    timespec Modified{};
    timespec Changed{};

    static TFileSignature Of(const struct stat& info) {
        TFileSignature signature;
        signature.Exists = true;
        signature.Device = info.st_dev;
        signature.Inode = info.st_ino;
        signature.Size = info.st_size;
        signature.Modified = info.st_mtim;
        signature.Changed = info.st_ctim;
        return signature;
    }

    bool operator==(const TFileSignature& other) const {
        auto same = [](const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; };
        return Exists == other.Exists && Device == other.Device && Inode == other.Inode && Size == other.Size &&
               same(Modified, other.Modified) && same(Changed, other.Changed);
    }

    bool Recent() const {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        return Modified.tv_sec + RacyWindowSeconds >= now.tv_sec || Changed.tv_sec + RacyWindowSeconds >= now.tv_sec;
    }
};

// Closes the descriptor it owns.
class TFileDescriptor {
public:
    explicit TFileDescriptor(int fd) : m_Fd(fd) {}
    ~TFileDescriptor() {
        if (m_Fd >= 0)
            close(m_Fd);
    }
    TFileDescriptor(const TFileDescriptor&) = delete;
    TFileDescriptor& operator=(const TFileDescriptor&) = delete;
    int Get() const { return m_Fd; }

private:
    int m_Fd;
};

enum class TReadOutcome { Read, Missing, Failed };

// Reads the whole file with the signature of what was read; error holds the reason of a failure.
TReadOutcome ReadWholeFile(const std::string& path, std::string& text, TFileSignature& signature, std::string& error) {
    text.clear();
    signature = {};
    TFileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0) {
        if (errno == ENOENT)
            return TReadOutcome::Missing;
        error = LastErrorMessage();
        return TReadOutcome::Failed;
    }
    struct stat info {};
    if (fstat(file.Get(), &info) != 0) {
        error = LastErrorMessage();
        return TReadOutcome::Failed;
    }
    if (!S_ISREG(info.st_mode)) {
        error = "not a regular file";
        return TReadOutcome::Failed;
    }
    if (info.st_size > MaxFileSize) {
        error = "larger than " + std::to_string(MaxFileSize) + " bytes";
        return TReadOutcome::Failed;
    }
    signature = TFileSignature::Of(info);
    char buffer[65536];
    while (true) {
        ssize_t count = read(file.Get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            error = LastErrorMessage();
            return TReadOutcome::Failed;
        }
        if (count == 0)
            return TReadOutcome::Read;
        if (text.size() + static_cast<size_t>(count) > static_cast<size_t>(MaxFileSize)) {
            error = "larger than " + std::to_string(MaxFileSize) + " bytes";
            return TReadOutcome::Failed;
        }
        text.append(buffer, static_cast<size_t>(count));
    }
}

TFileSignature StatFile(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        return {};
    return TFileSignature::Of(info);
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

struct TRootState {
    bool Loaded = false;
    std::string Path;         // file the tree was read from
    TFileSignature Signature; // of the file as last read or written
    std::string Text;         // its text then
    std::unique_ptr<TRegistryNode> Tree = std::make_unique<TRegistryNode>();
    bool Unreadable = false; // the file exists but could not be read: never overwrite it
    std::string UnreadableReason;
    bool KeepDamagedText = false; // the file was damaged: keep its text as "<file>.damaged" before rewriting
    std::string DamagedText;
    bool Dirty = false; // changed inside a batch, not yet written
};

class TStore {
public:
    std::recursive_mutex Mutex;

    TRegistryNode& Tree(TRegistryRoot root) {
        TRootState& state = State(root);
        std::string path = RegistryFileName(root);
        if (!state.Loaded || path != state.Path)
            Load(root, path);
        else if (!state.Dirty && ChangedOnDisk(state))
            Load(root, path);
        return *state.Tree;
    }

    void CheckWritable(TRegistryRoot root, const std::string& failure) {
        TRootState& state = State(root);
        if (state.Unreadable)
            throw ERegistryException(failure + ": the file " + state.Path + " cannot be read (" +
                                     state.UnreadableReason + ")");
    }

    void Save(TRegistryRoot root, const std::string& failure) {
        if (m_BatchDepth > 0) {
            State(root).Dirty = true;
            return;
        }
        Write(root, failure);
    }

    void BeginBatch() {
        if (m_BatchDepth++ == 0)
            m_BatchDropped = false;
    }

    void CommitBatch() {
        if (--m_BatchDepth > 0)
            return;
        if (m_BatchDropped)
            throw ERegistryException("Registry changes were dropped by a failed inner batch");
        for (TRegistryRoot root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
            if (!State(root).Dirty)
                continue;
            try {
                Write(root, "Failed to write the registry");
            } catch (...) {
                DropChanges();
                throw;
            }
        }
    }

    void AbortBatch() {
        --m_BatchDepth;
        m_BatchDropped = true;
        DropChanges();
    }

private:
    TRootState& State(TRegistryRoot root) { return root == HKEY_CURRENT_USER ? m_CurrentUser : m_LocalMachine; }

    void DropChanges() {
        for (TRegistryRoot root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
            TRootState& state = State(root);
            if (state.Dirty) {
                state.Dirty = false;
                state.Loaded = false;
            }
        }
    }

    static bool ChangedOnDisk(TRootState& state) {
        TFileSignature now = StatFile(state.Path);
        if (!(now == state.Signature))
            return true;
        if (!now.Exists || state.Unreadable || !now.Recent())
            return false;
        std::string text, error;
        TFileSignature signature;
        return ReadWholeFile(state.Path, text, signature, error) != TReadOutcome::Read || text != state.Text;
    }

    void Load(TRegistryRoot root, const std::string& path) {
        TRootState& state = State(root);
        state = TRootState();
        state.Loaded = true;
        state.Path = path;
        std::string error;
        switch (ReadWholeFile(path, state.Text, state.Signature, error)) {
        case TReadOutcome::Missing:
            return;
        case TReadOutcome::Failed:
            state.Unreadable = true;
            state.UnreadableReason = error;
            state.Signature = StatFile(path);
            Debug("Registry file cannot be read, changes are refused: " + path + " (" + error + ")");
            return;
        case TReadOutcome::Read:
            break;
        }
        TRegistryParseResult parsed = ParseRegistryText(state.Text, RegistryRootName(root));
        state.Tree = std::move(parsed.Root);
        if (!parsed.Problems.empty()) {
            state.KeepDamagedText = true;
            state.DamagedText = state.Text;
            ReportDamage(path, parsed.Problems);
        }
    }

    static void ReportDamage(const std::string& path, const TStringArray& problems) {
        std::string report = "Registry file damaged, skipped what is not valid: " + path;
        for (size_t i = 0; i < problems.size() && i < MaxReportedProblems; ++i)
            report += "\r\n" + problems[i];
        if (problems.size() > MaxReportedProblems)
            report += "\r\n... and " + std::to_string(problems.size() - MaxReportedProblems) + " more";
        Debug(report);
    }

    void Write(TRegistryRoot root, const std::string& failure) {
        TRootState& state = State(root);
        std::string text = FormatRegistryText(*state.Tree, RegistryRootName(root));
        try {
            std::string directory = DirectoryOf(state.Path);
            if (!MakeDirectoryPath(directory))
                throw ERegistryException("cannot create directory " + directory);
            if (state.KeepDamagedText) {
                WriteFileDurably(state.Path + ".damaged", state.DamagedText);
                state.KeepDamagedText = false;
                state.DamagedText.clear();
                Debug("Registry file damaged, its original text was kept in: " + state.Path + ".damaged");
            }
            WriteFileDurably(state.Path, text);
        } catch (const std::exception& e) {
            state.Loaded = false;
            state.Dirty = false;
            throw ERegistryException(failure + ": " + e.what());
        }
        state.Text = std::move(text);
        state.Signature = StatFile(state.Path);
        state.Dirty = false;
    }

    TRootState m_CurrentUser;
    TRootState m_LocalMachine;
    int m_BatchDepth = 0;
    bool m_BatchDropped = false;
};

TStore& Store() {
    static TStore store;
    return store;
}

} // namespace

namespace RegistryStore {

std::recursive_mutex& Lock() {
    return Store().Mutex;
}
TRegistryNode& Tree(TRegistryRoot root) {
    return Store().Tree(root);
}
void CheckWritable(TRegistryRoot root, const std::string& failure) {
    Store().CheckWritable(root, failure);
}
void Save(TRegistryRoot root, const std::string& failure) {
    Store().Save(root, failure);
}
void BeginBatch() {
    Store().BeginBatch();
}
void CommitBatch() {
    Store().CommitBatch();
}
void AbortBatch() {
    Store().AbortBatch();
}

} // namespace RegistryStore
