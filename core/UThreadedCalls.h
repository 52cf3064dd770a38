#pragma once
// Worker-side threaded calls: the only way worker threads (mailbox checkers, local POP3 server
// connections, the service worker) reach the model. Every function here may be called on any
// thread and does not check the thread; "send" calls wait until the model's thread has run them,
// "post" calls are queued and return at once. The model runs them in DispatchThreadedCall.

#include "base/LDates.h"
#include "core/UThreadedCallTarget.h"

#include <memory>
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
                            const std::string& toAddress, const std::string& toDisplayName);

// Send: the account's CreateSession. The caller owns the session; nullptr when it failed.
std::unique_ptr<TTessivarAccountSession> CreateAccountSession(TTessivarBusinessLogic& model, TTessivarAccount& account);

// Send: the account's ReleaseSession (applies the deletions and frees the session). Takes ownership.
void ReleaseAccountSession(TTessivarBusinessLogic& model, std::unique_ptr<TTessivarAccountSession> session);

// Post: SelfAuthentication(address) / Undeliverable(address) on the model's thread.
void SelfAuthentication(TTessivarBusinessLogic& model, const std::string& address);
void Undeliverable(TTessivarBusinessLogic& model, const std::string& address);
