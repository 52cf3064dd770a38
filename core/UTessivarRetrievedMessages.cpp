// The server ids of stored messages, remembered until the server has confirmed the QUIT that
// removes the messages, and the grouped flush that makes stored messages durable before that QUIT.

#include "core/UTessivarBusinessLogic.h"

#include "base/UDebug.h"
#include "base/UFileUtils.h"
#include "core/USQLite.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarEmail.h"

#include <sys/stat.h>
#include <unistd.h>

#include <unordered_map>

namespace {

const char* const RetrievedMessagesTable =
    "CREATE TABLE IF NOT EXISTS RetrievedMessages(        AccountID INTEGER,        UIDL VARCHAR,        EmailID "
    "INTEGER,        Size INTEGER);";

// Up to this many message files are flushed one by one; more, with their whole file system, which
// commits the file system's journal once instead of once per file.
constexpr size_t FlushedOneByOne = 16;

std::string AccountCondition(const TTessivarAccount& account) {
    return "AccountID = " + std::to_string(account.ID());
}

// The file is there with exactly the size it was written with.
bool FileHasSize(const std::string& fileName, int64_t size) {
    struct stat info {};
    return ::stat(fileName.c_str(), &info) == 0 && static_cast<int64_t>(info.st_size) == size;
}

std::string Directory(const std::string& path) {
    std::string directory = path;
    while (directory.size() > 1 && directory.back() == '/')
        directory.pop_back();
    return directory;
}

} // namespace

void TTessivarBusinessLogic::CreateRetrievedMessagesTable() {
    if (m_RetrievedMessagesTable)
        return;
    m_Database->Execute(RetrievedMessagesTable);
    m_RetrievedMessagesTable = true;
}

std::vector<std::string> TTessivarBusinessLogic::RetrievedMessageIDs(const TTessivarAccount& account) {
    CheckThread();
    CreateRetrievedMessagesTable();
    TSQLiteResultSet rows;
    m_Database->Query("SELECT UIDL, EmailID, Size FROM RetrievedMessages WHERE " + AccountCondition(account), &rows);
    if (rows.Eof())
        return {};

    std::unordered_map<int32_t, const TTessivarEmail*> emails;
    for (const auto& email : m_Emails)
        emails.emplace(email->ID(), email.get());
    std::vector<std::string> ids;
    for (; !rows.Eof(); rows.Next()) {
        const std::string id = rows.AsString("UIDL");
        const auto found = emails.find(rows.AsInteger("EmailID"));
        const TTessivarEmail* email = found == emails.end() ? nullptr : found->second;
        if (!email || email->Deleted() || FileHasSize(email->FileName(), rows.AsInteger("Size"))) {
            ids.push_back(id);
            continue;
        }
        // Only a crash of the system before the flush can lose a stored file; the message is still
        // on the server, so it is taken again.
        Debug("The stored copy of message " + id + " was lost; it is retrieved again.");
        m_Database->Delete("RetrievedMessages", AccountCondition(account) + " AND UIDL = " + QuotedSQL(id));
    }
    return ids;
}

void TTessivarBusinessLogic::ForgetRetrievedMessages(const TTessivarAccount& account,
                                                     const std::vector<std::string>& keep) {
    CheckThread();
    CreateRetrievedMessagesTable();
    std::string condition = AccountCondition(account);
    if (!keep.empty()) {
        condition += " AND UIDL NOT IN (";
        for (size_t i = 0; i < keep.size(); ++i)
            condition += (i ? ", " : "") + QuotedSQL(keep[i]);
        condition += ")";
    }
    m_Database->Delete("RetrievedMessages", condition);
}

void TTessivarBusinessLogic::FlushStore() {
    CheckThread();
    if (m_UnflushedFiles.empty())
        return;
    // The order matters for a crash of the system at any instant: the files' data first, then their
    // names, then the rows that refer to them. Many files are flushed with their file system at once.
    if (m_UnflushedFiles.size() > FlushedOneByOne) {
        FlushFileSystem(Directory(StorePath()));
    } else {
        for (const std::string& file : m_UnflushedFiles)
            if (::access(file.c_str(), F_OK) == 0) // one removed since needs no flush
                FlushFile(file);
        FlushDirectory(Directory(StorePath()));
    }
    TSQLiteResultSet result;
    m_Database->Query("PRAGMA wal_checkpoint(PASSIVE)", &result);
    Debug("Flushed " + std::to_string(m_UnflushedFiles.size()) + " stored messages to the disk.");
    m_UnflushedFiles.clear();
}
