#include "core/UTessivarMailRobots.h"

#include "base/LStrings.h"

bool IsMailRobotAddress(std::string_view address) {
    static const TStringArray robots = {"postmaster@", "mailer-daemon@", std::string(AutoReplySenderAddress)};
    return StartsWithAnyText(robots, address, false);
}
