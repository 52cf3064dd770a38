#include "base/URegistry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <thread>

#include "base/URegistryText.h"
#include "base/URegistryTree.h"
#include "tests/base/TraceCapture.h"
#include "tests/clients/RegistryTestSupport.h"

using namespace std::string_literals;

namespace {

class URegistry : public testing::Test {
protected:
    TRegistryTestDirectory m_Directory;
};

std::string Reformat(const std::string& text, TStringArray* problems = nullptr) {
    TRegistryParseResult parsed = ParseRegistryText(text, "HKEY_CURRENT_USER");
    if (problems)
        *problems = parsed.Problems;
    return FormatRegistryText(*parsed.Root, "HKEY_CURRENT_USER");
}

} // namespace

TEST_F(URegistry, WritesTheExportTextFormatWithEscapesOwnerOnly) {
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKey("\\Software\\Tessivar", true));
    registry.WriteString("", "default");
    registry.WriteString("Path", R"(C:\Program Files\"Tessivar")");
    registry.WriteInteger("Count", 42);
    registry.WriteInteger("Negative", -1);
    registry.WriteBinaryData("Blob", {0x01, 0xab, 0x00});
    registry.WriteString("Lines", "a\r\nb\0c"s);
    registry.WriteString("Quote\"Name", "");
    ASSERT_TRUE(registry.OpenKey("Software\\Empty", true));

    const std::string expected = R"(Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software]

[HKEY_CURRENT_USER\Software\Empty]

[HKEY_CURRENT_USER\Software\Tessivar]
@="default"
"Path"="C:\\Program Files\\\"Tessivar\""
"Count"=dword:0000002a
"Negative"=dword:ffffffff
"Blob"=hex:01,ab,00
"Lines"="a\r\nb\0c"
"Quote\"Name"=""

)";
    EXPECT_EQ(m_Directory.Read(), expected);
    struct stat info {};
    ASSERT_EQ(stat(m_Directory.File().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(Reformat(expected), expected);
}

TEST_F(URegistry, ValuesSurviveARoundTripThroughTheFile) {
    std::vector<uint8_t> allBytes;
    for (int i = 0; i < 300; ++i)
        allBytes.push_back(static_cast<uint8_t>(i));
    const std::string awkward = "\\\"\n\r\0\x7f\xff]["s + "\\n";
    {
        TRegistry registry;
        ASSERT_TRUE(registry.OpenKey("A\\B", true));
        registry.WriteBinaryData("Bytes", allBytes);
        registry.WriteBinaryData("Empty", {});
        registry.WriteString(awkward, awkward);
        registry.WriteInteger("Min", INT32_MIN);
    }
    // Long binary data is wrapped onto continuation lines near 80 columns.
    const std::string text = m_Directory.Read();
    for (const std::string& line : SplitText(text, "\n"))
        EXPECT_LE(line.size(), 80u) << line;

    // Read back from the text alone, as the next run of the program would.
    TStringArray problems;
    EXPECT_EQ(Reformat(text, &problems), text);
    EXPECT_TRUE(problems.empty());
    m_Directory.Write(text + "\n"); // a changed file is read again
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKeyReadOnly("a\\b"));
    EXPECT_EQ(registry.ReadBinaryData("Bytes"), allBytes);
    EXPECT_TRUE(registry.ValueExists("Empty"));
    EXPECT_EQ(registry.GetDataType("Empty"), TRegDataType::rdBinary);
    EXPECT_EQ(registry.ReadString(awkward), awkward);
    EXPECT_EQ(registry.ReadInteger("Min"), INT32_MIN);
}

TEST_F(URegistry, ReadsExportsWrittenByOtherTools) {
    // CR LF, a byte order mark, comments, blanks, continued hex data, other value types and
    // deletions, as registry editors write them.
    m_Directory.Write("\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
                      "\r\n"
                      "; a comment\r\n"
                      "[HKEY_CURRENT_USER\\Software\\Tool]\r\n"
                      "\"Expand\"=hex(2):25,00,41,00,\\\r\n"
                      "  25,00,00,00\r\n"
                      "\"WideText\"=hex(1):48,00,69,00,00,00\r\n"
                      "\"HexDword\"=hex(4):2a,00,00,00\r\n"
                      "\"Gone\"=\"x\"\r\n"
                      "\"Gone\"=-\r\n"
                      "  \"Spaced\" = dword:1F \r\n"
                      "[HKEY_CURRENT_USER\\Software\\Removed\\Sub]\r\n"
                      "[-HKEY_CURRENT_USER\\Software\\Removed]\r\n");
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKeyReadOnly("Software\\Tool"));
    EXPECT_EQ(registry.GetValueNames(), (TStringArray{"Expand", "WideText", "HexDword", "Spaced"}));
    EXPECT_EQ(registry.GetDataType("Expand"), TRegDataType::rdUnknown);
    EXPECT_EQ(registry.ReadBinaryData("Expand"), (std::vector<uint8_t>{0x25, 0, 0x41, 0, 0x25, 0, 0, 0}));
    EXPECT_EQ(registry.ReadString("WideText"), "Hi");
    EXPECT_EQ(registry.ReadInteger("HexDword"), 42);
    EXPECT_EQ(registry.ReadInteger("Spaced"), 31);
    EXPECT_FALSE(registry.KeyExists("Software\\Removed"));
    EXPECT_TRUE(registry.KeyExists("Software\\Tool"));

    // Values of other types are written back byte for byte.
    ASSERT_TRUE(registry.OpenKey("Software\\Tool", false));
    registry.WriteString("New", "1");
    EXPECT_NE(m_Directory.Read().find("\"Expand\"=hex(2):25,00,41,00,25,00,00,00\n"), std::string::npos);
}

TEST_F(URegistry, ReadsUtf16ExportsAsUtf8) {
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n\"N\"=\"J\xC3\xBCrgen\"\r\n";
    std::string wide = "\xFF\xFE";
    // "ü" as one UTF-16 unit, everything else ASCII.
    for (size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "\xC3\xBC") == 0) {
            wide += "\xFC\x00"s;
            ++i;
        } else {
            wide += text[i];
            wide += '\0';
        }
    }
    m_Directory.Write(wide);
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKeyReadOnly("K"));
    EXPECT_EQ(registry.ReadString("N"), "J\xC3\xBCrgen");
}

TEST_F(URegistry, DamagedFileIsReadAsFarAsValidAndKeptBeforeRewrite) {
    const std::string damaged = "Windows Registry Editor Version 5.00\n"
                                "\"Orphan\"=\"before any section\"\n"
                                "[HKEY_CURRENT_USER\\Good]\n"
                                "\"A\"=\"1\"\n"
                                "\"Broken\"=\"no closing quote\n"
                                "\"B\"=dword:xyz\n"
                                "\"B2\"=dword:123456789\n"
                                "garbage line\n"
                                "\"C\"=dword:00000003\n"
                                "[HKEY_LOCAL_MACHINE\\Foreign]\n"
                                "\"D\"=\"other root\"\n"
                                "[HKEY_CURRENT_USER\\Bad\\\\Path]\n"
                                "\"E\"=\"empty key name\"\n"
                                "[HKEY_CURRENT_USER\\Good\\Unclosed\n"
                                "\"F\"=\"no section\"\n"
                                "[HKEY_CURRENT_USER\\Good2]\n"
                                "\"G\"=hex:01,zz\n"
                                "\"H\"=hex:01,02\n"
                                "\"I\"=hex(zz):01\n"
                                "\"J\"=\"tail\" x\n";
    m_Directory.Write(damaged);
    TTraceCapture trace;
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKey("Good", false));
    EXPECT_EQ(registry.GetValueNames(), (TStringArray{"A", "C"}));
    EXPECT_EQ(registry.GetKeyNames(), TStringArray{});
    EXPECT_FALSE(registry.KeyExists("Foreign"));
    EXPECT_FALSE(registry.KeyExists("Bad"));
    ASSERT_TRUE(registry.OpenKey("Good2", false));
    EXPECT_EQ(registry.GetValueNames(), TStringArray{"H"});
    const std::string traced = trace.Text();
    EXPECT_NE(traced.find("Registry file damaged, skipped what is not valid: " + m_Directory.File()),
              std::string::npos);
    EXPECT_NE(traced.find("line 2: value outside a section"), std::string::npos);
    EXPECT_NE(traced.find("line 8: neither a section nor a value"), std::string::npos);

    // The first rewrite keeps the damaged original beside the new, sound file.
    registry.WriteString("New", "value");
    EXPECT_EQ(TRegistryTestDirectory::ReadFile(m_Directory.File() + ".damaged"), damaged);
    TStringArray problems;
    Reformat(m_Directory.Read(), &problems);
    EXPECT_TRUE(problems.empty()) << JoinText(problems, "\n");
    EXPECT_NE(m_Directory.Read().find("[HKEY_CURRENT_USER\\Good]\n\"A\"=\"1\"\n\"C\"=dword:00000003\n"),
              std::string::npos);
}

TEST_F(URegistry, UnreadableFileIsNeverOverwritten) {
    std::filesystem::create_directories(m_Directory.File()); // exists, but is no file
    TRegistry registry;
    EXPECT_FALSE(registry.OpenKey("Software\\Tessivar", true));
    EXPECT_FALSE(registry.KeyExists("Software"));
    EXPECT_THROW(registry.WriteString("AtRoot", "x"), ERegistryException);
    EXPECT_TRUE(std::filesystem::is_directory(m_Directory.File()));
}

TEST_F(URegistry, NamesIgnoreLetterCaseAndKeepTheirOwn) {
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKey("\\SOFTWARE\\MyKey\\", true));
    ASSERT_TRUE(registry.OpenKey("software\\mykey", false));
    EXPECT_EQ(registry.CurrentPath(), "SOFTWARE\\MyKey");
    registry.WriteString("Value", "x");
    registry.WriteString("VALUE", "y");
    EXPECT_EQ(registry.GetValueNames(), TStringArray{"Value"});
    EXPECT_EQ(registry.ReadString("vAlUe"), "y");
    for (const char* name : {"b", "A", "c", "B2"})
        ASSERT_TRUE(registry.OpenKey("Sorted\\"s + name, true));
    ASSERT_TRUE(registry.OpenKeyReadOnly("SORTED"));
    EXPECT_EQ(registry.GetKeyNames(), (TStringArray{"A", "b", "B2", "c"}));
}

TEST_F(URegistry, OpeningMissingOrInvalidKeysFailsWithoutCreatingAnything) {
    TRegistry registry;
    EXPECT_FALSE(registry.OpenKeyReadOnly("Software\\Missing"));
    EXPECT_FALSE(registry.OpenKey("Software\\Missing", false));
    EXPECT_FALSE(registry.HasCurrentKey());
    EXPECT_FALSE(std::filesystem::exists(m_Directory.File()));
    std::string deep;
    for (size_t i = 0; i <= RegistryMaxKeyDepth; ++i)
        deep += "\\k";
    for (const std::string& bad : {"A\\\\B"s, std::string(256, 'n'), "Line\nBreak"s, deep})
        EXPECT_FALSE(registry.OpenKey(bad, true)) << bad.substr(0, 20);
    EXPECT_FALSE(std::filesystem::exists(m_Directory.File()));
    EXPECT_TRUE(registry.OpenKey(std::string(255, 'n'), true));
}

TEST_F(URegistry, ChangesThroughAReadOnlyKeyRaiseAndChangeNothing) {
    TRegistry writer;
    ASSERT_TRUE(writer.OpenKey("Software\\Tessivar\\Sub", true));
    writer.WriteString("Kept", "1");
    const std::string before = m_Directory.Read();

    TRegistry registry;
    ASSERT_TRUE(registry.OpenKeyReadOnly("Software\\Tessivar\\Sub"));
    EXPECT_THROW(registry.WriteString("Kept", "2"), ERegistryException);
    EXPECT_THROW(registry.WriteInteger("Other", 2), ERegistryException);
    EXPECT_THROW(registry.WriteBinaryData("Other", {1}), ERegistryException);
    EXPECT_THROW(registry.DeleteValue("Kept"), ERegistryException);
    EXPECT_THROW(registry.DeleteKey("Software\\Tessivar"), ERegistryException);
    EXPECT_EQ(registry.ReadString("Kept"), "1");
    EXPECT_EQ(m_Directory.Read(), before);
    // Reopened for writing, the same object may write again.
    ASSERT_TRUE(registry.OpenKey("Software\\Tessivar\\Sub", false));
    registry.WriteString("Kept", "2");
    EXPECT_EQ(registry.ReadString("Kept"), "2");
}

TEST_F(URegistry, ValuesOfAnUnexpectedTypeReadAsDocumented) {
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKey("K", true));
    registry.WriteInteger("Number", -7);
    registry.WriteString("Text", "500");
    registry.WriteBinaryData("Bytes", {1, 2});

    EXPECT_EQ(registry.ReadString("Number"), "-7");
    EXPECT_EQ(registry.ReadString("Bytes"), "");
    EXPECT_EQ(registry.ReadString("Missing"), "");
    EXPECT_EQ(registry.ReadIntegerDefault("Text", 9), 9);
    EXPECT_EQ(registry.ReadIntegerDefault("Bytes", 9), 9);
    EXPECT_EQ(registry.ReadIntegerDefault("Missing", 9), 9);
    EXPECT_EQ(registry.ReadIntegerDefault("Number", 9), -7);
    EXPECT_TRUE(registry.ReadBinaryData("Text").empty());
    EXPECT_TRUE(registry.ReadBinaryData("Number").empty());
    try {
        registry.ReadInteger("Text");
        ADD_FAILURE() << "no exception";
    } catch (const ERegistryException& e) {
        EXPECT_STREQ(e.what(), "Invalid data type for 'Text'");
    }
    try {
        registry.ReadInteger("Missing");
        ADD_FAILURE() << "no exception";
    } catch (const ERegistryException& e) {
        EXPECT_STREQ(e.what(), "Failed to get data for 'Missing'");
    }
    EXPECT_EQ(registry.GetDataType("Number"), TRegDataType::rdInteger);
    EXPECT_EQ(registry.GetDataType("Text"), TRegDataType::rdString);
    EXPECT_EQ(registry.GetDataType("Missing"), TRegDataType::rdUnknown);
    // A value changes its type when written with another.
    registry.WriteString("Number", "now text");
    EXPECT_EQ(registry.GetDataType("Number"), TRegDataType::rdString);
}

TEST_F(URegistry, SeesChangesMadeOnDiskByOthers) {
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKey("K", true));
    registry.WriteString("A", "1");
    // Same size, same inode, within the same clock tick: only the content differs.
    std::string text = m_Directory.Read();
    text.replace(text.find("\"1\""), 3, "\"2\"");
    m_Directory.Write(text);
    EXPECT_EQ(registry.ReadString("A"), "2");

    std::filesystem::remove(m_Directory.File());
    EXPECT_FALSE(registry.ValueExists("A"));
    EXPECT_FALSE(registry.KeyExists("K"));
    // The key it had open is gone: writes raise instead of recreating it silently.
    EXPECT_THROW(registry.WriteString("A", "3"), ERegistryException);
}

TEST_F(URegistry, DeletingAKeyRemovesEverythingBelowIt) {
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKey("Top\\Middle\\Bottom", true));
    registry.WriteString("V", "1");
    ASSERT_TRUE(registry.OpenKey("Top\\Other", true));
    EXPECT_FALSE(registry.DeleteKey("Top\\Missing"));
    EXPECT_FALSE(registry.DeleteKey("\\"));
    EXPECT_TRUE(registry.DeleteKey("top\\MIDDLE"));
    EXPECT_FALSE(registry.KeyExists("Top\\Middle\\Bottom"));
    EXPECT_TRUE(registry.KeyExists("Top\\Other"));
    EXPECT_EQ(m_Directory.Read().find("Middle"), std::string::npos);
    EXPECT_TRUE(registry.DeleteValue("missing") == false);
}

TEST_F(URegistry, FailedWriteLeavesTheOldFileAndValues) {
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKey("K", true));
    registry.WriteString("A", "old");
    const std::string before = m_Directory.Read();
    const size_t entries = m_Directory.EntryCount();
    {
        TFileSizeLimit limit(before.size() + 16);
        EXPECT_THROW(registry.WriteString("A", std::string(1000, 'n')), ERegistryException);
    }
    EXPECT_EQ(m_Directory.Read(), before);
    EXPECT_EQ(m_Directory.EntryCount(), entries); // no temporary file left behind
    EXPECT_EQ(registry.ReadString("A"), "old");
    registry.WriteString("B", "later");
    EXPECT_EQ(registry.ReadString("A"), "old");
    EXPECT_EQ(registry.ReadString("B"), "later");
}

TEST_F(URegistry, BatchWritesAllOrNothing) {
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKey("K", true));
    registry.WriteString("A", "1");
    const std::string before = m_Directory.Read();
    try {
        TRegistryBatch batch;
        registry.WriteString("A", "2");
        registry.WriteString("B", "2");
        EXPECT_EQ(m_Directory.Read(), before); // nothing on disk before Commit
        throw std::runtime_error("interrupted");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(registry.ReadString("A"), "1");
    EXPECT_FALSE(registry.ValueExists("B"));

    {
        TFileSizeLimit limit(before.size() + 8);
        TRegistryBatch batch;
        registry.WriteString("A", "3");
        registry.WriteString("B", std::string(100, 'b'));
        EXPECT_THROW(batch.Commit(), ERegistryException);
    }
    EXPECT_EQ(m_Directory.Read(), before);
    EXPECT_EQ(registry.ReadString("A"), "1");

    {
        TRegistryBatch batch;
        registry.WriteString("A", "4");
        registry.WriteInteger("B", 4);
        batch.Commit();
    }
    EXPECT_NE(m_Directory.Read().find("\"A\"=\"4\"\n\"B\"=dword:00000004\n"), std::string::npos);
}

TEST_F(URegistry, ConcurrentWritersLoseNothing) {
    constexpr int PerThread = 20;
    auto writer = [](const std::string& prefix) {
        TRegistry registry;
        ASSERT_TRUE(registry.OpenKey("Shared", true));
        for (int i = 0; i < PerThread; ++i)
            registry.WriteInteger(prefix + std::to_string(i), i);
    };
    std::thread first(writer, "first");
    std::thread second(writer, "second");
    first.join();
    second.join();
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKeyReadOnly("Shared"));
    EXPECT_EQ(registry.GetValueNames().size(), 2u * PerThread);
    TRegistryParseResult parsed = ParseRegistryText(m_Directory.Read(), "HKEY_CURRENT_USER");
    EXPECT_EQ(parsed.Root->Find({"Shared"})->Values().size(), 2u * PerThread);
}

TEST_F(URegistry, EachRootHasItsOwnFile) {
    TRegistry machine(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(machine.OpenKey("SOFTWARE\\Tessivar", true));
    machine.WriteString("AdvertiserID", "abc");
    TRegistry user;
    EXPECT_FALSE(user.KeyExists("SOFTWARE\\Tessivar"));
    EXPECT_EQ(m_Directory.File(HKEY_LOCAL_MACHINE), m_Directory.Path() + "/HKEY_LOCAL_MACHINE.reg");
    EXPECT_NE(m_Directory.Read(HKEY_LOCAL_MACHINE).find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessivar]"), std::string::npos);
    user.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(user.OpenKeyReadOnly("software\\tessivar"));
    EXPECT_EQ(user.ReadString("advertiserid"), "abc");
}

TEST(URegistryLocation, DefaultsToTheUsersConfigurationDirectory) {
    auto saved = [](const char* name) {
        return getenv(name) ? std::optional<std::string>(getenv(name)) : std::nullopt;
    };
    const auto home = saved("HOME"), config = saved("XDG_CONFIG_HOME"), dir = saved("TESSIVAR_REGISTRY_DIR");
    unsetenv("TESSIVAR_REGISTRY_DIR");
    setenv("HOME", "/home/user", 1);
    setenv("XDG_CONFIG_HOME", "/xdg/", 1);
    EXPECT_EQ(RegistryFileName(HKEY_CURRENT_USER), "/xdg/tessivar/HKEY_CURRENT_USER.reg");
    setenv("XDG_CONFIG_HOME", "relative", 1);
    EXPECT_EQ(RegistryFileName(HKEY_LOCAL_MACHINE), "/home/user/.config/tessivar/HKEY_LOCAL_MACHINE.reg");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(RegistryFileName(HKEY_CURRENT_USER), "/home/user/.config/tessivar/HKEY_CURRENT_USER.reg");
    auto restore = [](const char* name, const std::optional<std::string>& value) {
        value ? setenv(name, value->c_str(), 1) : unsetenv(name);
    };
    restore("HOME", home);
    restore("XDG_CONFIG_HOME", config);
    restore("TESSIVAR_REGISTRY_DIR", dir);
}

TEST(URegistryText, DeepKeysCannotExpandASmallFileWithoutBound) {
    // Each line names 512 keys with paths of up to 130 KB: written out, every key gets its own
    // section line, so three such lines of a few hundred kilobytes would make ~100 MB of text.
    std::string text = "Windows Registry Editor Version 5.00\n";
    for (char top : {'a', 'b', 'c'}) {
        text += "[HKEY_CURRENT_USER\\"s + top;
        for (size_t depth = 1; depth < RegistryMaxKeyDepth; ++depth)
            text += "\\" + std::string(RegistryMaxKeyNameLength, 'k');
        text += "]\n\"Value\"=\"x\"\n";
    }
    const TRegistryParseResult parsed = ParseRegistryText(text, "HKEY_CURRENT_USER");
    EXPECT_EQ(parsed.Problems, TStringArray{"line 6: too many keys"});
    // The first two fit within the bound and are kept whole.
    const TRegistryNode* deepest = parsed.Root->FindSubKey("b");
    while (deepest && !deepest->SubKeys().empty())
        deepest = deepest->SubKeys().begin()->second.get();
    ASSERT_TRUE(deepest);
    EXPECT_TRUE(deepest->FindValue("Value"));
}
