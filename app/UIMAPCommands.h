#pragma once
// "tessivar imap add" and "tessivar imap remove": IMAP mailboxes screened in place, set up from the
// command line. The login is tried before anything is kept, through a connector that tests replace.
// Main thread only.

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "core/UIMAPSettings.h"

class TAbortSignal;
class TIMAPMailbox;
class TTessivarAccount;
class TTessivarBusinessLogic;

// Logs in to an IMAP server (ConnectIMAP's signature: server, password, trusted certificates file,
// time-out in milliseconds, a signal that ends the attempt; none: it cannot be ended).
using TIMAPConnector = std::function<std::unique_ptr<TIMAPMailbox>(
    const TIMAPServer&, const std::string&, const std::string&, int, const std::shared_ptr<TAbortSignal>&)>;
// How long the login check of a new account may take.
inline constexpr int IMAPLoginCheckTimeoutMs = 30 * 1000;
// The longest password read from the terminal or standard input.
inline constexpr size_t IMAPPasswordMaximumLength = 4096;

struct TIMAPAddRequest {
    TIMAPServer Server;
    bool ApproveExistingSenders = false;
};

// Reads "ADDRESS HOST[:PORT] USER [--starttls] [--approve-existing-senders]" (options anywhere; a
// host in brackets for an IPv6 address). Returns the problem in words, empty when the words are good.
std::string ParseIMAPAdd(const std::vector<std::string>& words, TIMAPAddRequest& request);
// The command that adds this account, each word quoted for a shell where it needs to be.
std::string IMAPAddCommandText(const TIMAPServer& server);
// "IMAPS (TLS)" or "STARTTLS".
std::string IMAPSecurityText(TIMAPSecurity security);
// The file of extra trusted authorities, as for the POP3 checker.
std::string IMAPTrustedCertificatesFile();

// Logs in with `connect`; when the server takes the login, keeps the account and its password and
// enables it, then approves the existing senders when asked. Writes what it did to `out`; a failure
// goes to standard error ("could not log in: REASON", nothing kept). Returns the exit status.
int AddIMAPAccountChecked(TTessivarBusinessLogic& model, const TIMAPAddRequest& request, const std::string& password,
                          const TIMAPConnector& connect, std::ostream& out);
// Stops screening the IMAP account(s) with this address and forgets their passwords; the messages on
// the server and the records here stay. Returns the exit status.
int RemoveIMAPAccount(TTessivarBusinessLogic& model, const std::string& address, std::ostream& out);
// What "disable" says for an IMAP account: every message stays where it is, and how to move held
// mail back.
std::string IMAPDisabledText(const TTessivarAccount& account);

// The Thunderbird IMAP accounts that are not screened yet, each with the command that adds it, under
// a heading; empty when there are none.
std::string ThunderbirdIMAPOffers(const TTessivarBusinessLogic& model);

// The words after "imap": reads the password (without echo from a terminal, else a line of standard
// input) and runs the command on a set-up session. Returns the exit status; ExitUsage for words it
// does not take.
int RunIMAPCommand(const std::vector<std::string>& words, const TIMAPConnector& connect);
