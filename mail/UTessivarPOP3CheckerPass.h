#pragma once
// One pass of the mailbox checker over the real mailbox, with the login values of its start. Used
// by the checker's worker thread only.

#include <chrono>
#include <exception>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "base/LStrings.h"
#include "mail/UTessivarPOP3Checker.h"

struct TParsedMessage;

class TTessivarPOP3Checker::TPass {
public:
    // Logs in with `login` (user name, password).
    TPass(TTessivarPOP3Checker& checker, TTessivarBusinessLogic& model, TTessivarAccount& account,
          TPOP3Client& client, std::pair<std::string, std::string> login);

    void Run();

private:
    // The server's ids and the ids the model remembers from passes whose QUIT was not confirmed.
    void ReadUniqueIDs();
    void ProcessMessage(int number);
    void StoreMessage(const TParsedMessage& message, const TStringArray& lines, const std::string& remoteID);
    void DeleteMessage(int number);
    // Flushes what was stored when enough of it has gathered in a long pass.
    void FlushNowAndThen();
    bool Flush();
    // Makes the stored messages durable, then QUIT lets the server remove them; a confirmed QUIT
    // lets the model forget the ids of the messages that are gone. A failed flush closes the
    // connection without QUIT, so that the server keeps everything.
    void EndSession();
    // Once per account and run: the password went to the real server without TLS.
    void ReportLoginInClear();
    // "Could not connect to server for ...", with the reason a secure connection failed the first
    // time it is met in this run.
    void ReportConnectFailure(const std::exception& error);
    // Once for each reason: the trusted certificates file was ignored, as others could change it.
    void ReportIgnoredTrustFile();
    // `what` followed by the user name and host, both quoted, and a full stop.
    void LogForAccount(const std::string& what, int kind);
    // Tells the checker how the real server answered the login that just failed.
    void ReportLoginFailure(const std::exception_ptr& failure);

    TTessivarPOP3Checker& m_Checker;
    TTessivarBusinessLogic& m_Model;
    TTessivarAccount& m_Account;
    TPOP3Client& m_Client;
    const std::string m_Host;
    std::string m_Username;
    std::string m_Password;

    std::map<int, std::string> m_IDs;     // the server's unique id of each message number
    std::set<std::string> m_Remembered;   // ids of messages stored by an earlier, unconfirmed pass
    std::set<int> m_Deleted;              // numbers the server accepted DELE for in this session
    bool m_Cancelled = false;
    int m_Unflushed = 0;                  // messages stored since the last flush
    std::chrono::steady_clock::time_point m_LastFlush;
};
