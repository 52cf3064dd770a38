#include "core/USQLiteTransaction.h"

#include "base/UDebug.h"
#include "base/UWindows.h"
#include "core/USQLite.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The engine commits by deleting its rollback journal but leaves that deletion in the directory's
// cache: a power failure soon after could bring the journal back, and the next open would roll the
// committed transaction back. Flushing the directory makes the commit itself durable. File systems
// that cannot flush a directory (EINVAL) give nothing more; other failures are traced, as the
// transaction is committed all the same.
void FlushDirectoryOf(const std::string& fileName) {
    const size_t slash = fileName.rfind('/');
    const std::string directory =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : fileName.substr(0, slash));
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int error = fd < 0 ? errno : 0;
    if (fd >= 0) {
        if (::fsync(fd) != 0 && errno != EINVAL)
            error = errno;
        ::close(fd);
    }
    if (error != 0)
        Debug("Could not flush the directory of \"" + fileName + "\" after a commit: " + SystemErrorMessage(error));
}

} // namespace

TSQLiteTransaction::TSQLiteTransaction(TSQLite& database) : m_Database(database) {
    m_Database.Lock();
    try {
        m_Database.Execute("BEGIN TRANSACTION");
    } catch (...) {
        m_Database.Unlock();
        throw;
    }
    m_Open = true;
}

TSQLiteTransaction::~TSQLiteTransaction() {
    Rollback();
    m_Database.Unlock();
}

void TSQLiteTransaction::Commit() {
    m_Database.Execute("COMMIT TRANSACTION");
    m_Open = false;
    FlushDirectoryOf(m_Database.FileName);
}

void TSQLiteTransaction::Rollback() noexcept {
    if (!m_Open)
        return;
    m_Open = false;
    try {
        m_Database.Execute("ROLLBACK TRANSACTION");
    } catch (const std::exception& error) {
        DebugException("TSQLiteTransaction", error);
    } catch (...) {
    }
}
