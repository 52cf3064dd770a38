#include "service/UTessivarAccountRequests.h"

#include "base/UDebug.h"
#include "base/URegistry.h"
#include "core/UTessivarBusinessLogic.h"
#include "service/UTessivarServer.h"
#include "service/UXML.h"

#include <exception>
#include <utility>

namespace {

// The standing of a web account that does not exist, as the service writes it.
const char* const NoAccountStatus = "Undefined";

// The service answered: no error entry, and at least one field. An answer without any (a SOAP
// fault, or an answer of another shape) says nothing about the account, so it is no success.
bool Answered(TTessivarServerRequest& request) {
    return !request.Failed() && request.ResultNode().Children().Count() > 0;
}

// Runs the callback, if any, with the outcome.
template <class THandler, class TOutcome> void Complete(const THandler& onComplete, TOutcome outcome) {
    if (onComplete)
        onComplete(outcome);
}

// Stores the credentials of an account the service has accepted; a failure to store them is a
// failure of the whole request, since the program is not set up without them.
bool StoreCredentials(TTessivarBusinessLogic& model, const std::string* address, const std::string& password) {
    try {
        if (address != nullptr)
            model.SetUsername(*address);
        model.SetPassword(password);
        return true;
    } catch (const std::exception& error) {
        DebugException("TTessivarAccountRequests", error);
        return false;
    }
}

} // namespace

TAccountAnswer ReadAccountAnswer(TTessivarServerRequest& request) {
    if (!Answered(request))
        return TAccountAnswer::Failed;
    const TXMLNode* status = request.ResultNode().Children().Find("AccountStatus");
    return status != nullptr && status->Text() == NoAccountStatus ? TAccountAnswer::NoAccount
                                                                  : TAccountAnswer::AccountExists;
}

std::string AdvertiserID() {
    try {
        TRegistry registry(HKEY_LOCAL_MACHINE);
        if (!registry.OpenKeyReadOnly("SOFTWARE\\Tessivar"))
            return {};
        return registry.ReadString("AdvertiserID");
    } catch (const std::exception& error) {
        DebugException("TTessivarAccountRequests", error);
        return {};
    }
}

void RequestAccountAvailability(TTessivarBusinessLogic& model, const std::string& address,
                                TAccountAnswerHandler onComplete) {
    model.CheckThread();
    auto request = model.Server().CreateRequest("AccountAvailability",
                                                [onComplete = std::move(onComplete)](TTessivarServerRequest& done) {
                                                    Complete(onComplete, ReadAccountAnswer(done));
                                                });
    request->ArgumentNode().Child("Username").SetText(address);
    request->ArgumentNode().Child("Password");
    model.Server().Enqueue(std::move(request));
}

void RequestExistingAccount(TTessivarBusinessLogic& model, const std::string& address, const std::string& password,
                            IRequestProgress* progress, TAccountAnswerHandler onComplete) {
    model.CheckThread();
    auto request = model.Server().CreateRequest(
        "Synchronize", [&model, onComplete = std::move(onComplete)](TTessivarServerRequest& done) {
            TAccountAnswer answer = ReadAccountAnswer(done);
            // An answer the model could not store counts as failed: nothing of it was taken over.
            if (answer == TAccountAnswer::AccountExists && !model.ApplySynchronization(done))
                answer = TAccountAnswer::Failed;
            Complete(onComplete, answer);
        });
    TXMLNode& argument = request->ArgumentNode();
    argument.Child("Username").SetText(address);
    argument.Child("Password").SetText(password);
    argument.Child("ClientDataVersion").SetAsInteger(0);
    request->SetProgressBar(progress);
    model.Server().Enqueue(std::move(request));
}

void RequestAccountCreate(TTessivarBusinessLogic& model, const std::string& address, const std::string& password,
                          TAccountResultHandler onComplete) {
    model.CheckThread();
    auto request = model.Server().CreateRequest(
        "AccountCreate", [&model, address, password, onComplete = std::move(onComplete)](TTessivarServerRequest& done) {
            Complete(onComplete, Answered(done) && StoreCredentials(model, &address, password));
        });
    TXMLNode& argument = request->ArgumentNode();
    argument.Child("Username").SetText(address);
    argument.Child("Password").SetText(password);
    argument.Child("AdvertiserID").SetText(AdvertiserID());
    model.Server().Enqueue(std::move(request));
}

void RequestPasswordChange(TTessivarBusinessLogic& model, const std::string& newPassword,
                           TAccountResultHandler onComplete) {
    model.CheckThread();
    auto request = model.Server().CreateRequest(
        "AccountSetPassword", [&model, newPassword, onComplete = std::move(onComplete)](TTessivarServerRequest& done) {
            const bool changed = Answered(done) && StoreCredentials(model, nullptr, newPassword);
            if (changed)
                model.AddLogItem("Password change request complete.", 0);
            else
                model.AddLogItem("Password change request Failed!", 1);
            Complete(onComplete, changed);
        });
    TXMLNode& argument = request->ArgumentNode();
    argument.Child("Username").SetText(model.Username());
    argument.Child("Password").SetText(model.Password());
    argument.Child("NewPassword").SetText(newPassword);
    model.Server().Enqueue(std::move(request));
    model.AddLogItem("Begin password change request...", 0);
}
