#pragma once
// The web site the program shows: the help pages, the upgrade page and the members' account page
// that the program posts the user's credentials to. Pages are composed here as text; the service
// routes requests to them. Thread contract: pure functions, any thread.

#include <optional>
#include <string>
#include <string_view>

#include "devservice/UAuthenticatePage.h"

struct TAccountSettings;
struct TServiceAccount;

// The help folder's page of that name ("help.html", "setupWizard.html", ...); none for a name the
// site does not have.
std::optional<std::string> HelpPage(std::string_view name);
// The page offering the newest version of the program.
std::string UpgradePage();

// What the account page shows of an account.
struct TAccountView {
    std::string EmailAddress;
    std::string Status;
    int ApprovedSenders = 0;
    int BlockedSenders = 0;
    int ApprovedDomainNames = 0;
    int BlockedDomainNames = 0;
    bool LockAccess = false;
    bool HasBlockedWords = false;
    bool HasAdultWords = false;
};
// The account page with the five in-page command links.
TPage AccountSetupPage(const TAccountView& account);
// The plain page for credentials that are missing or wrong (status 403).
TPage AccountRefusedPage();
// The same when too many wrong passwords came from the client or for the account (status 429).
TPage AccountThrottledPage();

// The decoded value of a field of an application/x-www-form-urlencoded body; none when the field
// is missing.
std::optional<std::string> FormField(std::string_view form, std::string_view name);
