#pragma once
// The requests about the web account itself: whether an address is still free, whether an existing
// account answers to an address and password (taking over its data), creating an account, and
// changing its password. Each is queued on the model's service channel and returns at once; its
// completion callback runs later on the model's thread with the outcome, after the model was
// updated (credentials stored, answer merged, activity log items added).
//
// Thread contract: the model's thread only, like the model; so are the callbacks.

#include <functional>
#include <string>

class IRequestProgress;
class TTessivarBusinessLogic;
class TTessivarServerRequest;

// What an answer said about an account. An answer with error entries, and one without any field
// (a SOAP fault), is a failure of every request here.
enum class TAccountAnswer {
    Failed,       // no answer, an answer with error entries, or one without any field
    NoAccount,    // "AccountStatus" is exactly "Undefined": no account for the address (and password)
    AccountExists // any other "AccountStatus"
};

// Reads the answer of "AccountAvailability" or of the setup's "Synchronize": the standing compared
// exactly, letter case included.
TAccountAnswer ReadAccountAnswer(TTessivarServerRequest& request);

// The "AdvertiserID" string value under the machine-wide key SOFTWARE\Tessivar; empty when the key
// or the value is missing or the registry cannot be read.
std::string AdvertiserID();

using TAccountAnswerHandler = std::function<void(TAccountAnswer answer)>;
using TAccountResultHandler = std::function<void(bool succeeded)>;

// "AccountAvailability" for the address: NoAccount means the address is free.
void RequestAccountAvailability(TTessivarBusinessLogic& model, const std::string& address,
                                TAccountAnswerHandler onComplete);

// The setup's check of an existing account: a "Synchronize" with the address, the password and
// data version 0. When the account exists, its whole answer is merged into the model (the progress
// display, if any, advancing) before the callback runs; an answer that could not be stored is
// reported as Failed. The credentials are not stored here.
void RequestExistingAccount(TTessivarBusinessLogic& model, const std::string& address, const std::string& password,
                            IRequestProgress* progress, TAccountAnswerHandler onComplete);

// "AccountCreate": on success the address and password become the model's credentials.
void RequestAccountCreate(TTessivarBusinessLogic& model, const std::string& address, const std::string& password,
                          TAccountResultHandler onComplete);

// "AccountSetPassword" with the model's credentials: on success the new password is stored; a
// failure leaves the stored one. Writes the activity log items of the change.
void RequestPasswordChange(TTessivarBusinessLogic& model, const std::string& newPassword,
                           TAccountResultHandler onComplete);
