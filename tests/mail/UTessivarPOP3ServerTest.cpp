#include "mail/UTessivarPOP3Server.h"

#include <gtest/gtest.h>

TEST(UTessivarPOP3Server, PortCounterStaysWithinTheLocalRangeAndWraps) {
    int previous = NextServerPort();
    ASSERT_GE(previous, 20000);
    ASSERT_LE(previous, 25000);
    bool wrapped = false;
    for (int i = 0; i <= 5001 && !wrapped; ++i) {
        const int port = NextServerPort();
        if (previous == 25000) {
            EXPECT_EQ(port, 20000);
            wrapped = true;
        } else {
            EXPECT_EQ(port, previous + 1);
        }
        previous = port;
    }
    EXPECT_TRUE(wrapped);
    EXPECT_EQ(NextServerPort(), 20001);
}
