// The address books: vCard files of each version as phones, desktop address books and contact
// servers write them, a damaged file skipped without losing the others, and the mail program's
// personal address book found through the desktop's default mail program and its profile.

#include "clients/UAddressBooks.h"
#include "clients/UMailProgramAddressBook.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

const fs::path Samples = fs::path(TESSIVAR_SOURCE_DIR) / "tests/clients/vcards";

void WriteFile(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

class TAddressBooksTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tessivar-contacts-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_Dir = pattern;
    }
    void TearDown() override { fs::remove_all(m_Dir); }

    // An address book as the mail program writes it: cards as rows of (card, name, value).
    std::string MakeMailProgramBook(const std::vector<std::array<std::string, 3>>& rows) {
        const std::string file = (m_Dir / "abook.sqlite").string();
        sqlite3* database = nullptr;
        EXPECT_EQ(sqlite3_open(file.c_str(), &database), SQLITE_OK);
        sqlite3_exec(database, "CREATE TABLE properties (card TEXT, name TEXT, value TEXT)", nullptr, nullptr, nullptr);
        for (const auto& row : rows) {
            sqlite3_stmt* statement = nullptr;
            sqlite3_prepare_v2(database, "INSERT INTO properties VALUES (?, ?, ?)", -1, &statement, nullptr);
            for (int i = 0; i < 3; ++i)
                sqlite3_bind_text(statement, i + 1, row[i].c_str(), -1, SQLITE_TRANSIENT);
            EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE);
            sqlite3_finalize(statement);
        }
        sqlite3_close(database);
        return file;
    }

    fs::path m_Dir;
};

} // namespace

TEST_F(TAddressBooksTest, Version21ExportWithQuotedPrintableLatin1NamesSoftBreaksPhotoAndAgent) {
    const std::vector<TContact> contacts = ReadVCardFile((Samples / "phone-export-2.1.vcf").string());
    const std::string boss =
        "J\xC3\xBCrgen M\xC3\xBCller (Gesch\xC3\xA4\x66tsf\xC3\xBChrer der Beispiel GmbH und Co. KG)";
    const std::vector<TContact> expected = {{boss, "juergen.mueller@beispiel.example"},
                                            {boss, "jm@privat.example"},
                                            {"Anne Smith", "anne.smith@example.com"},
                                            {"Zo\xC3\xAB Ng", "zoe@example.net"}};
    EXPECT_EQ(contacts, expected) << "the agent's card inside a card is not a contact";
}

TEST_F(TAddressBooksTest, Version30WithFoldedLinesEscapesGroupsAndFallbackNames) {
    const std::vector<TContact> contacts = ReadVCardFile((Samples / "address-book-3.0.vcf").string());
    const std::vector<TContact> expected = {{"Dr. John Q. Doe, Jr.", "john.doe@example.org"},
                                            {"Dr. John Q. Doe, Jr.", "john@home.example"},
                                            {"Ren\xC3\xA9\x65 Lef\xC3\xA8vre", "renee.lefevre@exemple.example"},
                                            {"Acme Widgets", "sales@acme.example"}};
    EXPECT_EQ(contacts, expected);
}

TEST_F(TAddressBooksTest, Version40WithQuotedParametersMailtoValuesAndLineFeedsOnly) {
    const std::vector<TContact> contacts = ReadVCardFile((Samples / "nextcloud-4.0.vcf").string());
    const std::string name = "\xE5\xB1\xB1\xE7\x94\xB0 \xE5\xA4\xAA\xE9\x83\x8E";
    const std::vector<TContact> expected = {
        {name, "taro.yamada@example.jp"}, {name, "taro@home.example.jp"}, {"Ada Lovelace", "ada@analytical.example"}};
    EXPECT_EQ(contacts, expected);
}

TEST_F(TAddressBooksTest, NameWithoutAnyNameFallsBackToTheAddressAndWindowsCharsetIsConverted) {
    const auto contacts = ParseVCards("BEGIN:VCARD\nVERSION:2.1\nEMAIL:x@y.example\nEND:VCARD\n"
                                      "BEGIN:VCARD\nVERSION:2.1\nFN;CHARSET=WINDOWS-1252:\x93Quoted\x94\n"
                                      "EMAIL:q@y.example\nEND:VCARD\n");
    ASSERT_EQ(contacts.size(), 2u);
    EXPECT_EQ(contacts[0].DisplayName, "x@y.example");
    EXPECT_EQ(contacts[1].DisplayName, "\xE2\x80\x9CQuoted\xE2\x80\x9D");
}

TEST_F(TAddressBooksTest, DamagedTextIsRefusedAsAWhole) {
    EXPECT_THROW(ReadVCardFile((Samples / "damaged-unended.vcf").string()), EVCardException);
    EXPECT_THROW(ParseVCards("END:VCARD\n"), EVCardException);
    EXPECT_THROW(ParseVCards("this is no address book\n"), EVCardException);
    EXPECT_TRUE(ParseVCards("\r\n\r\n").empty());
}

TEST_F(TAddressBooksTest, FoldersAreSearchedBelowAndADamagedBookIsSkippedWithoutLosingTheOthers) {
    fs::copy_file(Samples / "address-book-3.0.vcf", m_Dir / "a.vcf");
    fs::copy_file(Samples / "damaged-unended.vcf", m_Dir / "b.VCF");
    fs::create_directories(m_Dir / "collection");
    fs::copy_file(Samples / "nextcloud-4.0.vcf", m_Dir / "collection" / "c.vcf");
    WriteFile(m_Dir / "notes.txt", "EMAIL:not@a-card.example");
    TAddressBookPlaces places;
    // The same folder twice, and a missing one, are harmless.
    places.VCardFolders = {m_Dir.string(), (m_Dir / "collection" / "..").string(), (m_Dir / "missing").string()};
    places.MailProgramAddressBook = (m_Dir / "no-such-abook.sqlite").string();
    const std::vector<TContact> contacts = ReadAddressBooks(places);
    ASSERT_EQ(contacts.size(), 7u);
    EXPECT_EQ(contacts.front().EmailAddress, "john.doe@example.org");
    EXPECT_EQ(contacts.back().EmailAddress, "ada@analytical.example");
}

TEST_F(TAddressBooksTest, ListEntriesAreSortedWithoutRegardToCaseAndNeverTwice) {
    const std::vector<TContact> entries = ContactListEntries(
        {{"bob", "b@x.example"}, {"Alice", "a@x.example"}, {"bob", "b@x.example"}, {"Bob", "b@x.example"}});
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(ContactEntryText(entries[0]), "Alice <a@x.example>");
    EXPECT_EQ(ContactEntryText(entries[1]), "Bob <b@x.example>");
    EXPECT_EQ(ContactEntryText(entries[2]), "bob <b@x.example>");
}

TEST_F(TAddressBooksTest, MailProgramBookGivesEveryAddressOfACardWithItsNameAndReadsVCardCards) {
    const std::string book = MakeMailProgramBook({{"1", "DisplayName", "Carol Jones"},
                                                  {"1", "PrimaryEmail", "carol@example.com"},
                                                  {"1", "SecondEmail", "cj@example.org"},
                                                  {"2", "FirstName", "Dan"},
                                                  {"2", "LastName", "Brown"},
                                                  {"2", "PrimaryEmail", "dan@example.com"},
                                                  {"3", "_vCard",
                                                   "BEGIN:VCARD\r\nVERSION:4.0\r\nFN:Eve\r\n"
                                                   "EMAIL:eve@example.com\r\nEND:VCARD\r\n"},
                                                  {"4", "DisplayName", "No Address"}});
    const auto before = fs::last_write_time(book);
    const std::vector<TContact> expected = {{"Carol Jones", "carol@example.com"},
                                            {"Carol Jones", "cj@example.org"},
                                            {"Dan Brown", "dan@example.com"},
                                            {"Eve", "eve@example.com"}};
    EXPECT_EQ(ReadMailProgramAddressBook(book), expected);
    EXPECT_EQ(fs::last_write_time(book), before);
}

TEST_F(TAddressBooksTest, DamagedMailProgramBookRaisesAndIsSkipped) {
    WriteFile(m_Dir / "abook.sqlite", std::string(4096, 'x'));
    EXPECT_THROW(ReadMailProgramAddressBook((m_Dir / "abook.sqlite").string()), EMailProgramAddressBookException);
    EXPECT_THROW(ReadMailProgramAddressBook((m_Dir / "missing.sqlite").string()), EMailProgramAddressBookException);
    WriteFile(m_Dir / "cards" / "ok.vcf", "BEGIN:VCARD\nFN:Ok\nEMAIL:ok@example.com\nEND:VCARD\n");
    TAddressBookPlaces places;
    places.VCardFolders = {(m_Dir / "cards").string()};
    places.MailProgramAddressBook = (m_Dir / "abook.sqlite").string();
    EXPECT_EQ(ReadAddressBooks(places), std::vector<TContact>({{"Ok", "ok@example.com"}}));
}

TEST_F(TAddressBooksTest, DefaultProfileIsTheInstallsThenTheMarkedThenTheOnlyOne) {
    WriteFile(m_Dir / "one" / "profiles.ini", "[Profile0]\nName=default\nIsRelative=1\nPath=abc.default\n");
    EXPECT_EQ(DefaultProfileFolder((m_Dir / "one").string()), (m_Dir / "one" / "abc.default").string());
    WriteFile(m_Dir / "marked" / "profiles.ini",
              "[Profile1]\nName=old\nIsRelative=1\nPath=old\n\n[Profile0]\nName=new\nIsRelative=0\n"
              "Path=/elsewhere/new\nDefault=1\n");
    EXPECT_EQ(DefaultProfileFolder((m_Dir / "marked").string()), "/elsewhere/new");
    WriteFile(m_Dir / "install" / "profiles.ini",
              "[Install4F96D1932A9F858E]\nDefault=xyz.default-release\nLocked=1\n\n[Profile0]\nName=a\n"
              "IsRelative=1\nPath=a\nDefault=1\n");
    EXPECT_EQ(DefaultProfileFolder((m_Dir / "install").string()), (m_Dir / "install" / "xyz.default-release").string());
    WriteFile(m_Dir / "two" / "profiles.ini", "[Profile0]\nPath=a\n[Profile1]\nPath=b\n");
    EXPECT_EQ(DefaultProfileFolder((m_Dir / "two").string()), "");
    EXPECT_EQ(DefaultProfileFolder((m_Dir / "none").string()), "");
}

TEST_F(TAddressBooksTest, DefaultMailProgramComesFromTheUsersMimeAppsFirst) {
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string savedValue = saved ? saved : "";
    ::setenv("XDG_CONFIG_HOME", m_Dir.c_str(), 1);
    WriteFile(m_Dir / "mimeapps.list",
              "[Added Associations]\nx-scheme-handler/mailto=other.desktop;\n\n"
              "[Default Applications]\nx-scheme-handler/mailto=org.mozilla.Thunderbird.desktop;"
              "evolution.desktop;\n");
    EXPECT_EQ(DefaultMailProgram(), "org.mozilla.Thunderbird.desktop");
    if (saved)
        ::setenv("XDG_CONFIG_HOME", savedValue.c_str(), 1);
    else
        ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_TRUE(IsThunderbirdFamily("org.mozilla.Thunderbird.desktop"));
    EXPECT_TRUE(IsThunderbirdFamily("eu.betterbird.Betterbird.desktop"));
    EXPECT_FALSE(IsThunderbirdFamily("org.gnome.Evolution.desktop"));
    EXPECT_FALSE(IsThunderbirdFamily(""));
}
