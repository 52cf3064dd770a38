#include "base/UWindows.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <set>

#include "base/UException.h"

namespace {

// Restores an empty command line after each case.
class UWindows : public testing::Test {
protected:
    void TearDown() override { SetCommandLine(std::vector<std::string>{}); }
};

} // namespace

TEST_F(UWindows, HasParamMatchesWholeArgumentsIgnoringCase) {
    SetCommandLine({"DEBUG", "Log", "some thing"});
    EXPECT_TRUE(HasParam("debug"));
    EXPECT_TRUE(HasParam("log"));
    EXPECT_TRUE(HasParam("LOG"));
    EXPECT_TRUE(HasParam("Some Thing"));
    EXPECT_FALSE(HasParam("some"));
    EXPECT_FALSE(HasParam("show"));
    EXPECT_FALSE(HasParam(""));
}

TEST_F(UWindows, HasParamRefusesPrefixedOrPartialSwitches) {
    SetCommandLine({"-debug", "/log", "--local", "shows", "xshow"});
    for (const char* word : {"debug", "log", "local", "show"}) {
        EXPECT_FALSE(HasParam(word)) << word;
    }
}

TEST_F(UWindows, HasParamSkipsTheProgramName) {
    char program[] = "show";
    char debug[] = "debug";
    char* argv[] = {program, debug, nullptr};
    SetCommandLine(2, argv);
    EXPECT_TRUE(HasParam("debug"));
    EXPECT_FALSE(HasParam("show"));
}

TEST_F(UWindows, ErrorMessageCarriesTheSystemTextAndTheCode) {
    errno = ENOENT;
    EXPECT_EQ(LastErrorMessage(), std::string(std::strerror(ENOENT)) + " [2]");
    EXPECT_EQ(SystemErrorMessage(EACCES), std::string(std::strerror(EACCES)) + " [13]");
}

TEST_F(UWindows, ErrorMessageForAnUnknownCodeSaysSo) {
    EXPECT_EQ(SystemErrorMessage(99999), "Error message formating error. [99999]");
    EXPECT_EQ(SystemErrorMessage(-3), "Error message formating error. [-3]");
}

TEST_F(UWindows, NewGUIDIsARandomVersion4UUID) {
    const std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const std::string guid = NewGUID();
        ASSERT_TRUE(std::regex_match(guid, form)) << guid;
        seen.insert(guid);
    }
    EXPECT_EQ(seen.size(), 1000u);
}
