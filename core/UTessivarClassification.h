#pragma once
// Fixed texts of mail classification: the program's own message header and the domain that marks
// the message ids of the web service's authentication requests. Constants only; any thread.
// The operations themselves are members of TTessivarBusinessLogic (AddDomainName, AddEmailAddress,
// InsertEmail, SelfAuthentication, Undeliverable), implemented in UTessivarClassification.cpp.

#include <string_view>

// The program's own message header and its values.
inline constexpr std::string_view TessivarHeaderName = "X-Tessivar";
inline constexpr std::string_view AuthenticationRequestHeaderValue = "Authentication-Request";
inline constexpr std::string_view SelfAuthenticationHeaderValue = "Self-Authentication-Notification";

// The web service writes its authentication requests with message ids of the form
// <unique-part@auth.tessivar.com>. A message that carries "X-Tessivar: Authentication-Request" and
// whose own message id contains "@" followed by this domain (exact letter case) is one of those
// requests coming back to a screened account, and is approved on arrival.
inline constexpr std::string_view AuthenticationRequestMarkerDomain = "auth.tessivar.com";
