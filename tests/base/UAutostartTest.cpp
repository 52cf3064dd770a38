#include "base/UAutostart.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "base/UException.h"
#include "tests/base/TemporaryConfigHome.h"

namespace {

class UAutostart : public testing::Test {
protected:
    TTemporaryConfigHome m_Config;
};

} // namespace

TEST_F(UAutostart, ExecLineReadsBackAsTheExactPath) {
    EXPECT_EQ(DesktopExecArgument("/usr/local/bin/tessivar"), "/usr/local/bin/tessivar");
    // Blanks and other reserved characters need quotes; inside them " ` $ \ take a backslash, and
    // the string value doubles every backslash again (so \$ is written \\$). "%" is doubled.
    EXPECT_EQ(DesktopExecArgument("/home/me/My Programs/tessivar"), "\"/home/me/My Programs/tessivar\"");
    EXPECT_EQ(DesktopExecArgument("/opt/a$b/\"x\"`y`"), R"("/opt/a\\$b/\\"x\\"\\`y\\`")");
    EXPECT_EQ(DesktopExecArgument("/opt/back\\slash"), R"("/opt/back\\\\slash")");
    EXPECT_EQ(DesktopExecArgument("/opt/100%/tessivar"), "/opt/100%%/tessivar");
    EXPECT_EQ(DesktopExecArgument("/opt/it's (new)/t"), "\"/opt/it's (new)/t\"");
    // A line break must not end the value.
    EXPECT_EQ(DesktopExecArgument("/opt/a\nb"), "\"/opt/a\\nb\"");
}

TEST_F(UAutostart, EntryStartsThePathWithABlankQuoted) {
    const std::string text = AutostartEntryText("/home/me/My Programs/tessivar");
    EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_NE(text.find("\nExec=\"/home/me/My Programs/tessivar\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);
    EXPECT_NE(text.find("\nName=Tessivar\n"), std::string::npos);
    EXPECT_NE(text.find("\nIcon=tessivar\n"), std::string::npos);
}

TEST_F(UAutostart, EntryLivesInTheConfigHomeElseInDotConfig) {
    EXPECT_EQ(AutostartEntryFileName(), m_Config.AutostartFile());
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", "/home/someone", 1);
    // A relative XDG_CONFIG_HOME is not valid and is ignored.
    setenv("XDG_CONFIG_HOME", "relative/config", 1);
    EXPECT_EQ(AutostartEntryFileName(), "/home/someone/.config/autostart/tessivar.desktop");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(AutostartEntryFileName(), "/home/someone/.config/autostart/tessivar.desktop");
    setenv("HOME", home.c_str(), 1);
}

TEST_F(UAutostart, RegisterReplacesAnOldEntryAndUnregisterTellsWhetherOneWasThere) {
    m_Config.WriteAutostart("[Desktop Entry]\nExec=/old/place/tessivar\n");
    RegisterAutostart();
    EXPECT_EQ(m_Config.ReadAutostart(), AutostartEntryText(ProgramFileName()));
    EXPECT_EQ(ProgramFileName().front(), '/');
    EXPECT_TRUE(UnregisterAutostart());
    EXPECT_FALSE(m_Config.AutostartExists());
    EXPECT_FALSE(UnregisterAutostart());
}

TEST_F(UAutostart, RegisterFailsLoudlyWhenTheFolderCannotBeMade) {
    // A file where the folder should be: the entry cannot be written, and the caller hears of it.
    std::ofstream(m_Config.Path() + "/autostart") << "not a folder";
    EXPECT_THROW(RegisterAutostart(), Exception);
    EXPECT_THROW(UnregisterAutostart(), Exception);
}
