#pragma once
// Status values of senders, domain names, emails and the web service account, with their stored
// one-character codes and their texts. Free functions without state; callable from any thread.

#include <cstdint>
#include <string>
#include <string_view>

enum class TApprovalStatus : int32_t { Undefined = 0, Blocked = 1, Approved = 2 };
enum class TAuthenticationStatus : int32_t { Undefined = 0, Imported = 1, Pending = 2, Authenticated = 3 };
enum class TAccountStatus : int32_t { Undefined = 0, Suspended = 1, Terminated = 2 };

// Stored codes: "A", "B", "?" and "I", "P", "A", "?".
std::string ApprovalStatusCode(TApprovalStatus status);
std::string AuthenticationStatusCode(TAuthenticationStatus status);
// Reads the first character of a stored code (exact letter case); anything else is Undefined.
TApprovalStatus CodeToApprovalStatus(std::string_view code);
TAuthenticationStatus CodeToAuthenticationStatus(std::string_view code);

// Texts exchanged with the web service: "Approved", "Blocked", "Undefined"; "Imported", "Pending",
// "Authenticated", "Undefined"; "Suspended", "Terminated", "Undefined".
std::string ApprovalStatusText(TApprovalStatus status);
std::string AuthenticationStatusText(TAuthenticationStatus status);
std::string AccountStatusText(TAccountStatus status);
// Read without regard to letter case; any other text is Undefined. The approval conversion writes
// the trace entry "Converted [text] to n.".
TApprovalStatus TextToApprovalStatus(std::string_view text);
TAuthenticationStatus TextToAuthenticationStatus(std::string_view text);
TAccountStatus TextToAccountStatus(std::string_view text);
