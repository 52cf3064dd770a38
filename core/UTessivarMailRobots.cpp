#include "core/UTessivarMailRobots.h"

#include "base/LStrings.h"

namespace {

// Local parts that name a machine, not a person. Prefixes and suffixes cover the list owner and
// request addresses of mailing list software.
constexpr std::string_view RobotLocalParts[] = {"noreply", "no-reply",      "donotreply", "do-not-reply", "bounce",
                                                "bounces", "mailer-daemon", "postmaster", "listserv",     "majordomo"};
constexpr std::string_view RobotPrefix = "owner-";
constexpr std::string_view RobotSuffix = "-request";

// The first token of a structured header value: the text before ";" or a comment, trimmed.
std::string FirstToken(std::string_view value) {
    const size_t end = value.find_first_of(";(");
    return Trim(value.substr(0, end));
}

} // namespace

bool IsMailRobotAddress(std::string_view address) {
    static const TStringArray robots = {"postmaster@", "mailer-daemon@", std::string(AutoReplySenderAddress)};
    return StartsWithAnyText(robots, address, false);
}

bool IsRobotMailbox(std::string_view address) {
    if (SameText(address, AutoReplySenderAddress))
        return true;
    const size_t at = address.find('@');
    if (at == std::string_view::npos)
        return false;
    std::string local = LowerCase(std::string(address.substr(0, at)));
    if (const size_t plus = local.find('+'); plus != std::string::npos)
        local.erase(plus);
    for (const std::string_view robot : RobotLocalParts)
        if (local == robot)
            return true;
    return (local.size() > RobotPrefix.size() && local.starts_with(RobotPrefix)) ||
           (local.size() > RobotSuffix.size() && local.ends_with(RobotSuffix));
}

std::string AutomaticMailReason(const TAutomaticMailHeaders& headers) {
    if (headers.IsAuthenticationRequest)
        return "the message is an authentication request itself";
    const std::string autoSubmitted = FirstToken(headers.AutoSubmitted);
    if (!autoSubmitted.empty() && !SameText(autoSubmitted, "no"))
        return "the message was sent automatically (Auto-Submitted: " + autoSubmitted + ")";
    const std::string precedence = FirstToken(headers.Precedence);
    for (const char* bulk : {"bulk", "list", "junk"})
        if (SameText(precedence, bulk))
            return "the message is " + LowerCase(precedence) + " mail (Precedence: " + precedence + ")";
    if (headers.HasListId)
        return "the message comes from a mailing list (List-Id)";
    if (headers.HasListUnsubscribe)
        return "the message comes from a mailing list (List-Unsubscribe)";
    std::string returnPath;
    for (const char c : headers.ReturnPath)
        if (c != ' ' && c != '\t')
            returnPath += c;
    if (returnPath == "<>")
        return "the message has an empty return path";
    return {};
}
