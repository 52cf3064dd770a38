#include "mail/UTessivarLoginThrottle.h"

#include <gtest/gtest.h>

#include <chrono>

#include "core/UAccountLoginHash.h"

namespace {

using namespace std::chrono_literals;
using TClock = TTessivarLoginThrottle::TClock;

const TLoginFingerprint Guess1 = AccountLoginFingerprint("me", "guess 1");
const TLoginFingerprint Guess2 = AccountLoginFingerprint("me", "guess 2");
const TLoginFingerprint Right = AccountLoginFingerprint("me", "right");

} // namespace

// The same wrong password typed again is refused locally for a while that doubles with each
// refusal by the real server, up to an hour.
TEST(TessivarLoginThrottle, RefusedCredentialsStayRefusedForADoublingWhile) {
    TTessivarLoginThrottle throttle;
    const TClock::time_point start = TClock::now();
    EXPECT_FALSE(throttle.RecentlyRefused(Guess1, start));
    throttle.Refused(Guess1, start);
    EXPECT_TRUE(throttle.RecentlyRefused(Guess1, start + 59s));
    EXPECT_FALSE(throttle.RecentlyRefused(Guess1, start + 60s));
    EXPECT_FALSE(throttle.RecentlyRefused(Guess2, start + 1s));
    throttle.Refused(Guess1, start + 60s);
    EXPECT_TRUE(throttle.RecentlyRefused(Guess1, start + 60s + 119s));
    EXPECT_FALSE(throttle.RecentlyRefused(Guess1, start + 60s + 120s));
    for (int i = 0; i < 20; ++i)
        throttle.Refused(Guess1, start);
    EXPECT_TRUE(throttle.RecentlyRefused(Guess1, start + 59min));
    EXPECT_FALSE(throttle.RecentlyRefused(Guess1, start + 60min));
}

// Two typing errors cost nothing; from the third refusal in a row new credentials wait 30 s, then
// twice as long after each further refusal, at most 30 minutes; an accepted login ends it.
TEST(TessivarLoginThrottle, NewCredentialsWaitAfterRepeatedRefusalsUntilALoginIsAccepted) {
    TTessivarLoginThrottle throttle;
    const TClock::time_point start = TClock::now();
    throttle.Refused(AccountLoginFingerprint("me", "a"), start);
    throttle.Refused(AccountLoginFingerprint("me", "b"), start);
    EXPECT_EQ(throttle.BackOffLeft(start), TClock::duration::zero());
    throttle.Refused(AccountLoginFingerprint("me", "c"), start);
    EXPECT_EQ(throttle.BackOffLeft(start), TClock::duration(30s));
    EXPECT_EQ(throttle.BackOffLeft(start + 30s), TClock::duration::zero());
    throttle.Refused(AccountLoginFingerprint("me", "d"), start + 30s);
    EXPECT_EQ(throttle.BackOffLeft(start + 30s), TClock::duration(60s));
    for (int i = 0; i < 20; ++i)
        throttle.Refused(AccountLoginFingerprint("me", std::to_string(i)), start);
    EXPECT_EQ(throttle.BackOffLeft(start), TClock::duration(30min));
    throttle.Accepted(Right);
    EXPECT_EQ(throttle.BackOffLeft(start), TClock::duration::zero());
}

// The kept hash must never give the password away nor match other credentials, including the
// same characters split differently between user name and password.
TEST(AccountLoginHash, HashMatchesOnlyTheSameLoginAndHoldsNoPassword) {
    const std::string hash = HashAccountLogin("ab", "c d");
    EXPECT_TRUE(hash.starts_with("$argon2id$")) << hash;
    EXPECT_EQ(hash.find("c d"), std::string::npos);
    EXPECT_NE(hash, HashAccountLogin("ab", "c d")) << "salted";
    EXPECT_TRUE(AccountLoginMatches(hash, "ab", "c d"));
    EXPECT_FALSE(AccountLoginMatches(hash, "a", "bc d"));
    EXPECT_FALSE(AccountLoginMatches(hash, "ab", "c"));
    EXPECT_FALSE(AccountLoginMatches(hash, "AB", "c d"));
    EXPECT_FALSE(AccountLoginMatches("", "ab", "c d"));
    EXPECT_FALSE(AccountLoginMatches("$argon2id$garbage", "ab", "c d"));
    EXPECT_NE(AccountLoginFingerprint("ab", "c d"), AccountLoginFingerprint("a", "bc d"));
}
