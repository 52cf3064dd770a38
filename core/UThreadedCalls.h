#pragma once
// Worker-side threaded calls: the only way worker threads (mailbox checkers, local POP3 server
// connections, the service worker) reach the model. Every function here may be called on any
// thread and does not check the thread; "send" calls wait until the model's thread has run them,
// "post" calls are queued and return at once. The model runs them in DispatchThreadedCall.

#include "base/LDates.h"
#include "core/UThreadedCallTarget.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

class TTessivarBusinessLogic;
class TTessivarAccount;
class TTessivarEmail;
class TTessivarAccountSession;

// Post: AddLogItem(details, kind) on the model's thread.
void InsertLogItem(TTessivarBusinessLogic& model, const std::string& details, int kind);

// Send: InsertEmail on the model's thread. Returns the stored email, or nullptr when storing failed
// there or the model's thread is shutting down. When it returns an email, the message is durably
// stored (rows and message file).
TTessivarEmail* InsertEmail(TTessivarBusinessLogic& model, TTessivarAccount& account, const std::string& messageId,
                            const std::vector<std::string>& lines, TDateTime received, const std::string& subject,
                            const std::string& fromAddress, const std::string& fromDisplayName,
                            const std::string& toAddress, const std::string& toDisplayName,
                            const std::string& remoteID = {});

// Send: the account's remembered server ids of stored messages whose stored copy is sound;
// nothing when the call failed there or the model's thread is shutting down.
std::optional<std::vector<std::string>> RetrievedMessageIDs(TTessivarBusinessLogic& model,
                                                            const TTessivarAccount& account);
// Send: forgets the account's remembered ids except `keep`, after the server confirmed a QUIT.
void ForgetRetrievedMessages(TTessivarBusinessLogic& model, const TTessivarAccount& account,
                             std::vector<std::string> keep);
// Send: FlushStore; true when everything stored so far is durable.
bool FlushStore(TTessivarBusinessLogic& model);

// Send: the hash of the last login the account's real server accepted; empty when none is kept;
// nothing when the call failed there or the model's thread is shutting down.
std::optional<std::string> AcceptedLoginHash(TTessivarBusinessLogic& model, const TTessivarAccount& account);
// Send: keeps `hash` as the account's accepted login (an empty one forgets it); true when stored.
bool RememberAcceptedLogin(TTessivarBusinessLogic& model, const TTessivarAccount& account, std::string hash);

// Send: the account's CreateSession. The caller owns the session; nullptr when it failed.
std::unique_ptr<TTessivarAccountSession> CreateAccountSession(TTessivarBusinessLogic& model, TTessivarAccount& account);

// Send: the account's ReleaseSession (applies the deletions and frees the session). Takes ownership.
void ReleaseAccountSession(TTessivarBusinessLogic& model, std::unique_ptr<TTessivarAccountSession> session);

// Post: SelfAuthentication(address) on the model's thread.
void SelfAuthentication(TTessivarBusinessLogic& model, const std::string& address);
// Post: ReturnedAuthenticationRequest(address, requestMessageId) on the model's thread: a bounce of
// the request with that id, which blocks its recipient once the service confirms it.
void Undeliverable(TTessivarBusinessLogic& model, const std::string& address, const std::string& requestMessageId);
