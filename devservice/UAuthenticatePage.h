#pragma once
// The page a challenged sender opens from the authentication request. Opening it (GET) only shows
// the message in question and a button; the button's POST authenticates. Mail scanners that follow
// links therefore never authenticate anybody. The link that confirms an account's address works
// the same way. Thread contract: pure functions, any thread.

#include <string>
#include <string_view>

#include "devservice/UServiceRecords.h"

struct TPage {
    int Status = 200;
    std::string HTML;
};

// GET: the request and the button for a valid token, else the refusal.
TPage AuthenticationRequestPage(const TChallengeView& challenge, std::string_view token);
// POST: the confirmation for a token just used, else the refusal.
TPage AuthenticationDonePage(const TChallengeView& challenge);
// GET of the link that confirms an account's address: the address and a button.
TPage AddressConfirmationPage(const TConfirmationView& confirmation, std::string_view token);
// POST: the confirmation for a link just used, else the refusal.
TPage AddressConfirmedPage(const TConfirmationView& confirmation);
// Text with &, <, >, " and ' escaped for HTML.
std::string HTMLEscape(std::string_view text);
