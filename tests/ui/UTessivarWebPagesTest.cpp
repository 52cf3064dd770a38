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

// Only letters and digits pass as they are; every other byte, the structure characters "&" and "="
// included, is encoded on its own, so that a value can never split the form.
TEST(FormEncodeTest, EncodesEveryByteButLettersAndDigits) {
    EXPECT_EQ(FormEncode("a b&c=d%e"), "a+b%26c%3Dd%25e");
    EXPECT_EQ(FormEncode("me@example.com"), "me%40example%2Ecom");
    EXPECT_EQ(FormEncode("-_.*~+"), "%2D%5F%2E%2A%7E%2B");
    EXPECT_EQ(FormEncode(std::string("\x01\x7f\r\n", 4)), "%01%7F%0D%0A");
    EXPECT_EQ(FormEncode("\xC3\xA9"), "%C3%A9");
    EXPECT_EQ(FormEncode(std::string("a\0b", 3)), "a%00b");
    EXPECT_EQ(FormEncode(""), "");
}

// A password holding the form's own structure characters, a plus, a percent sign, blanks and
// non-ASCII letters reaches the site as typed: each name and value is encoded on its own.
TEST(FormEncodeTest, ValuesHoldingAmpersandEqualsPlusPercentAndNonAsciiStayWhole) {
    EXPECT_EQ(FormBody({{"username", "me@example.com"}, {"password", "a&b=c+d%e f\xC3\xA9"}}),
              "username=me%40example%2Ecom&password=a%26b%3Dc%2Bd%25e+f%C3%A9");
    EXPECT_EQ(FormBody({{"a b", ""}, {"", "="}}), "a+b=&=%3D");
    EXPECT_EQ(FormBody({}), "");
}

TEST(PostRequestTest, BodyAndContentTypeOnlyWithPostData) {
    const TPostRequest post =
        PostRequest("http://127.0.0.1:8085/members/accountSetup.aspx", {{"username", "a b"}, {"password", "%"}});
    EXPECT_EQ(post.Body, "username=a+b&password=%25");
    ASSERT_EQ(post.Headers.size(), 2u);
    EXPECT_EQ(post.Headers[0], std::make_pair(std::string("X-Tessivar"), std::string("01.02.0000")));
    EXPECT_EQ(post.Headers[1],
              std::make_pair(std::string("Content-Type"), std::string("application/x-www-form-urlencoded")));

    const TPostRequest get = PostRequest("http://127.0.0.1:8085/help/index.html", {});
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

// Commands run only on the members' pages of this run's site: the same scheme, host and port, and
// a path inside the folder, also once "..", a user name or a look-alike host are taken into account.
TEST_F(WebAddressTest, MembersPagesAreThoseOfTheMembersFolderOfThisRunsSite) {
    ::setenv("TESSIVAR_SERVICE_HOST", "127.0.0.1:9000", 1);
    const std::pair<const char*, bool> pages[] = {
        {"http://127.0.0.1:9000/members/accountSetup.aspx", true},
        {"http://127.0.0.1:9000/members/accountSetup.aspx?x=1#top", true},
        {"http://127.0.0.1:9000/help/index.html", false},
        {"http://127.0.0.1:9000/members/../help/index.html", false},
        {"http://127.0.0.1:9000/membersarea/x", false},
        {"http://127.0.0.1:9001/members/accountSetup.aspx", false},
        {"https://127.0.0.1:9000/members/accountSetup.aspx", false},
        {"http://127.0.0.2:9000/members/accountSetup.aspx", false},
        {"http://me@127.0.0.1:9000/members/accountSetup.aspx", false},
        {"data:text/html,<a href='tessivar:changepassword'>x</a>", false},
        {"about:blank", false},
        {"", false},
    };
    for (const auto& [page, members] : pages)
        EXPECT_EQ(IsMembersPage(QUrl(QString::fromLatin1(page))), members) << page;
    ::unsetenv("TESSIVAR_SERVICE_HOST");
    EXPECT_TRUE(IsMembersPage(QUrl(QStringLiteral("https://www.tessivar.com/members/accountSetup.aspx"))));
    EXPECT_TRUE(IsMembersPage(QUrl(QStringLiteral("https://www.tessivar.com:443/members/accountSetup.aspx"))));
    EXPECT_FALSE(IsMembersPage(QUrl(QStringLiteral("http://www.tessivar.com/members/accountSetup.aspx"))));
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
