#pragma once
// One pass of the mailbox checker over the real mailbox, with the login values of its start. Used
// by the checker's worker thread only.

#include <cstddef>
#include <deque>
#include <exception>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "base/LStrings.h"
#include "mail/UTessivarMessageStorer.h"
#include "mail/UTessivarPOP3Checker.h"

class TTessivarPOP3Checker::TPass {
public:
    // Logs in with `login` (user name, password).
    TPass(TTessivarPOP3Checker& checker, TTessivarBusinessLogic& model, TTessivarAccount& account,
          TPOP3Client& client, std::pair<std::string, std::string> login);

    void Run();

private:
    // A command sent to the real server whose answer has not been read yet.
    struct TCommand {
        bool Retrieve; // RETR, else DELE
        int Number;
    };

    // The server's ids and the ids the model remembers from passes whose QUIT was not confirmed.
    void ReadUniqueIDs();
    // Retrieves every message, handing each to the storer, and deletes on the way the messages the
    // storer has made durable. A server that announces PIPELINING gets up to PipelineWindow
    // commands ahead of their answers; any other one command at a time.
    void RetrieveMessages(int count);
    // Sends DELE for the messages the storer has made durable, as far as the window allows.
    void SendDeletions();
    // Reads the answer to the oldest unanswered command. A failure ends only its message, which
    // stays on the server; cancellation and a lost connection end the pass.
    void ReadAnswer();
    // Deletes what is durable and not deleted yet, before QUIT.
    void DeleteRest();
    // Makes the stored messages durable and deletes them, then QUIT lets the server remove them; a confirmed QUIT
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
    std::deque<int> m_Deletable;          // durable here, DELE not sent yet
    std::deque<TCommand> m_Unanswered;    // oldest first
    std::size_t m_Window = 1;             // commands that may await their answers at once
    bool m_Cancelled = false;
    // Stores what the pass retrieves, beside the retrieval; made when there are messages.
    std::optional<TTessivarMessageStorer> m_Storer;
};
