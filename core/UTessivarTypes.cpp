#include "core/UTessivarTypes.h"

#include "base/LStrings.h"
#include "base/UDebug.h"

std::string ApprovalStatusCode(TApprovalStatus status) {
    switch (status) {
    case TApprovalStatus::Approved:
        return "A";
    case TApprovalStatus::Blocked:
        return "B";
    default:
        return "?";
    }
}

std::string AuthenticationStatusCode(TAuthenticationStatus status) {
    switch (status) {
    case TAuthenticationStatus::Imported:
        return "I";
    case TAuthenticationStatus::Pending:
        return "P";
    case TAuthenticationStatus::Authenticated:
        return "A";
    default:
        return "?";
    }
}

TApprovalStatus CodeToApprovalStatus(std::string_view code) {
    if (code.empty())
        return TApprovalStatus::Undefined;
    switch (code.front()) {
    case 'A':
        return TApprovalStatus::Approved;
    case 'B':
        return TApprovalStatus::Blocked;
    default:
        return TApprovalStatus::Undefined;
    }
}

TAuthenticationStatus CodeToAuthenticationStatus(std::string_view code) {
    if (code.empty())
        return TAuthenticationStatus::Undefined;
    switch (code.front()) {
    case 'A':
        return TAuthenticationStatus::Authenticated;
    case 'I':
        return TAuthenticationStatus::Imported;
    case 'P':
        return TAuthenticationStatus::Pending;
    default:
        return TAuthenticationStatus::Undefined;
    }
}

std::string ApprovalStatusText(TApprovalStatus status) {
    switch (status) {
    case TApprovalStatus::Approved:
        return "Approved";
    case TApprovalStatus::Blocked:
        return "Blocked";
    default:
        return "Undefined";
    }
}

std::string AuthenticationStatusText(TAuthenticationStatus status) {
    switch (status) {
    case TAuthenticationStatus::Imported:
        return "Imported";
    case TAuthenticationStatus::Pending:
        return "Pending";
    case TAuthenticationStatus::Authenticated:
        return "Authenticated";
    default:
        return "Undefined";
    }
}

std::string AccountStatusText(TAccountStatus status) {
    switch (status) {
    case TAccountStatus::Suspended:
        return "Suspended";
    case TAccountStatus::Terminated:
        return "Terminated";
    default:
        return "Undefined";
    }
}

TApprovalStatus TextToApprovalStatus(std::string_view text) {
    TApprovalStatus result = TApprovalStatus::Undefined;
    if (SameText(text, "approved"))
        result = TApprovalStatus::Approved;
    else if (SameText(text, "blocked"))
        result = TApprovalStatus::Blocked;
    Debug("Converted [" + std::string(text) + "] to " + std::to_string(static_cast<int32_t>(result)) + ".");
    return result;
}

TAuthenticationStatus TextToAuthenticationStatus(std::string_view text) {
    if (SameText(text, "Pending"))
        return TAuthenticationStatus::Pending;
    if (SameText(text, "Imported"))
        return TAuthenticationStatus::Imported;
    if (SameText(text, "Authenticated"))
        return TAuthenticationStatus::Authenticated;
    return TAuthenticationStatus::Undefined;
}

TAccountStatus TextToAccountStatus(std::string_view text) {
    if (SameText(text, "Suspended"))
        return TAccountStatus::Suspended;
    if (SameText(text, "Terminated"))
        return TAccountStatus::Terminated;
    return TAccountStatus::Undefined;
}
