#include "ui/UTessivarWebPages.h"
#include "ui/UfrmNotification.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <tuple>

namespace {

class WebAddressTest : public testing::Test {
protected:
    void TearDown() override { ::unsetenv("TESSIVAR_SERVICE_HOST"); }
};

} // namespace

// Only letters, digits, "&" and "=" pass as they are; the structure characters are not protected
// inside the values, and every byte beyond ASCII is encoded on its own.
TEST(FormEncodeTest, EncodesEveryByteButLettersDigitsAmpersandAndEquals) {
    EXPECT_EQ(FormEncode("username=a b&password=x%y"), "username=a+b&password=x%25y");
    EXPECT_EQ(FormEncode("me@example.com"), "me%40example%2Ecom");
    EXPECT_EQ(FormEncode("-_.*~+"), "%2D%5F%2E%2A%7E%2B");
    EXPECT_EQ(FormEncode("p=w&d"), "p=w&d");
    EXPECT_EQ(FormEncode(std::string("\x01\x7f\r\n", 4)), "%01%7F%0D%0A");
    EXPECT_EQ(FormEncode("\xC3\xA9"), "%C3%A9");
    EXPECT_EQ(FormEncode(std::string("a\0b", 3)), "a%00b");
    EXPECT_EQ(FormEncode(""), "");
}

TEST(PostRequestTest, BodyAndContentTypeOnlyWithPostData) {
    const TPostRequest post = PostRequest("http://127.0.0.1:8085/members/accountSetup.aspx", "username=a b&password=%");
    EXPECT_EQ(post.Body, "username=a+b&password=%25");
    ASSERT_EQ(post.Headers.size(), 2u);
    EXPECT_EQ(post.Headers[0], std::make_pair(std::string("X-Tessivar"), std::string("01.02.0000")));
    EXPECT_EQ(post.Headers[1],
              std::make_pair(std::string("Content-Type"), std::string("application/x-www-form-urlencoded")));

    const TPostRequest get = PostRequest("http://127.0.0.1:8085/help/index.html", "");
    EXPECT_TRUE(get.Body.empty());
    ASSERT_EQ(get.Headers.size(), 1u);
    EXPECT_EQ(get.Headers[0].first, "X-Tessivar");
}

TEST_F(WebAddressTest, LocalSiteIsTheReferenceServiceOverHttpAndThePublicOneHttps) {
    EXPECT_EQ(WebSiteRoot(true), "http://127.0.0.1:8085");
    EXPECT_EQ(WebSiteRoot(false), "https://www.tessivar.com");
    // The help window's home page and the upgrade page are always the public site's.
    EXPECT_EQ(PublicHelpBase(), "https://www.tessivar.com/help/");
    EXPECT_EQ(UpgradePageURL(), "https://www.tessivar.com/upgrade.html");
}

TEST_F(WebAddressTest, ServiceHostVariableNamesTheSiteWithTheSchemeItsHostCallsFor) {
    ::setenv("TESSIVAR_SERVICE_HOST", "127.0.0.1:9000", 1);
    EXPECT_EQ(WebSiteRoot(false), "http://127.0.0.1:9000");
    ::setenv("TESSIVAR_SERVICE_HOST", "[::1]:9000", 1);
    EXPECT_EQ(WebSiteRoot(true), "http://[::1]:9000");
    ::setenv("TESSIVAR_SERVICE_HOST", "staging.example.net:8443", 1);
    EXPECT_EQ(WebSiteRoot(true), "https://staging.example.net:8443");
    // A host that only starts like a loopback name is no loopback.
    ::setenv("TESSIVAR_SERVICE_HOST", "localhost.example.net", 1);
    EXPECT_EQ(WebSiteRoot(true), "https://localhost.example.net");
    EXPECT_EQ(MembersBase(), "https://localhost.example.net/members/");
    EXPECT_EQ(HelpBase(), "https://localhost.example.net/help/");
}

TEST(PanelOfScreenTest, FindsThePanelAtTheEdgeTheAvailableAreaLeavesOut) {
    const QRect screen(0, 0, 1280, 800);
    const std::tuple<QRect, TDesktopPanel::TEdge, QRect> cases[] = {
        {QRect(0, 0, 1280, 760), TDesktopPanel::Bottom, QRect(0, 760, 1280, 40)},
        {QRect(0, 28, 1280, 772), TDesktopPanel::Top, QRect(0, 0, 1280, 28)},
        {QRect(64, 0, 1216, 800), TDesktopPanel::Left, QRect(0, 0, 64, 800)},
        {QRect(0, 0, 1216, 800), TDesktopPanel::Right, QRect(1216, 0, 64, 800)},
    };
    for (const auto& [available, edge, rect] : cases) {
        const TDesktopPanel panel = PanelOfScreen(screen, available);
        EXPECT_EQ(panel.Edge, edge);
        EXPECT_EQ(panel.Rect, rect);
    }
    // No panel: a strip of no height under the screen.
    const TDesktopPanel none = PanelOfScreen(screen, screen);
    EXPECT_EQ(none.Edge, TDesktopPanel::Bottom);
    EXPECT_EQ(none.Rect.top(), 800);
    EXPECT_EQ(none.Rect.height(), 0);
    // A second screen to the right of the first.
    const TDesktopPanel second = PanelOfScreen(QRect(1280, 0, 1920, 1080), QRect(1280, 0, 1920, 1040));
    EXPECT_EQ(second.Rect, QRect(1280, 1040, 1920, 40));
}
