#include "base/UFileUtils.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

#include "base/UException.h"
#include "base/UWindows.h"

namespace {

// Each case works in a fresh directory of its own.
class UFileUtils : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tessivar-fileutils-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_Dir = pattern;
    }
    void TearDown() override { [[maybe_unused]] const int ignored = std::system(("rm -rf '" + m_Dir + "'").c_str()); }

    static std::string ReadFile(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }
    static void Touch(const std::string& path) { std::ofstream(path) << "x"; }
    // Names of the entries in directory, sorted, "." and ".." left out.
    static std::vector<std::string> Entries(const std::string& directory) {
        std::vector<std::string> names;
        if (DIR* dir = ::opendir(directory.c_str())) {
            while (const dirent* entry = ::readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") {
                    names.push_back(name);
                }
            }
            ::closedir(dir);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string m_Dir;
};

} // namespace

TEST_F(UFileUtils, IsDirectoryIsFalseForFilesAndMissingPaths) {
    Touch(m_Dir + "/file");
    EXPECT_TRUE(IsDirectory(m_Dir));
    EXPECT_TRUE(IsDirectory(m_Dir + "/"));
    EXPECT_FALSE(IsDirectory(m_Dir + "/file"));
    EXPECT_FALSE(IsDirectory(m_Dir + "/missing"));
    EXPECT_FALSE(IsDirectory(""));
    EXPECT_FALSE(IsDirectory(m_Dir + std::string("\0x", 2)));
}

TEST_F(UFileUtils, MakeDirectoryPathCreatesMissingParents) {
    const std::string path = m_Dir + "/a/b/c/";
    EXPECT_TRUE(MakeDirectoryPath(path));
    EXPECT_TRUE(IsDirectory(m_Dir + "/a/b/c"));
    EXPECT_TRUE(MakeDirectoryPath(path)) << "an existing directory counts as done";
    EXPECT_TRUE(MakeDirectoryPath("/"));
}

TEST_F(UFileUtils, MakeDirectoryPathMakesOwnerOnlyDirectoriesWhateverTheUmask) {
    ASSERT_EQ(::chmod(m_Dir.c_str(), 0755), 0);
    const mode_t previous = ::umask(0);
    const bool made = MakeDirectoryPath(m_Dir + "/store/inner");
    ::umask(previous);
    ASSERT_TRUE(made);
    for (const std::string path : {m_Dir + "/store", m_Dir + "/store/inner"}) {
        struct stat info {};
        ASSERT_EQ(::stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u) << path << ": nobody else may replace what it holds";
    }
    struct stat existing {};
    ASSERT_EQ(::stat(m_Dir.c_str(), &existing), 0);
    EXPECT_EQ(existing.st_mode & 0777, 0755u) << "a directory that was there is left alone";
}

TEST_F(UFileUtils, MakeDirectoryPathRefusesTheEmptyPath) {
    try {
        MakeDirectoryPath("");
        FAIL() << "no exception";
    } catch (const Exception& error) {
        EXPECT_EQ(error.Message(), "Unable to create directory");
    }
}

TEST_F(UFileUtils, MakeDirectoryPathReportsFailureInsteadOfPretendingSuccess) {
    Touch(m_Dir + "/file");
    EXPECT_FALSE(MakeDirectoryPath(m_Dir + "/file"));
    EXPECT_FALSE(MakeDirectoryPath(m_Dir + "/file/sub/dir"));
    EXPECT_FALSE(MakeDirectoryPath(m_Dir + std::string("/a\0b", 4)));
}

TEST_F(UFileUtils, MakeDirectoryPathCreatesShortRelativePaths) {
    char previous[4096];
    ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(::chdir(m_Dir.c_str()), 0);
    const bool single = MakeDirectoryPath("x");
    const bool nested = MakeDirectoryPath("ab/c");
    ASSERT_EQ(::chdir(previous), 0);
    EXPECT_TRUE(single);
    EXPECT_TRUE(nested);
    EXPECT_TRUE(IsDirectory(m_Dir + "/x"));
    EXPECT_TRUE(IsDirectory(m_Dir + "/ab/c"));
}

TEST_F(UFileUtils, ProgramDirectoryFollowsTessivarHomeAndEndsWithSlash) {
    ::setenv("TESSIVAR_HOME", m_Dir.c_str(), 1);
    EXPECT_EQ(ProgramDirectory(), m_Dir + "/");
    ::setenv("TESSIVAR_HOME", (m_Dir + "/").c_str(), 1);
    EXPECT_EQ(ProgramDirectory(), m_Dir + "/");
    ::unsetenv("TESSIVAR_HOME");
    char exe[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    const std::string path = exe;
    EXPECT_EQ(ProgramDirectory(), path.substr(0, path.rfind('/') + 1));
}

TEST_F(UFileUtils, WriteFileDurablyReplacesTheFileWhole) {
    const std::string path = m_Dir + "/data.txt";
    WriteFileDurably(path, "first version, longer than the second");
    WriteFileDurably(path, std::string("second\0version", 14), 0640);
    EXPECT_EQ(ReadFile(path), std::string("second\0version", 14));
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777 & ~0640u, 0u);
    EXPECT_EQ(Entries(m_Dir), std::vector<std::string>{"data.txt"}) << "no temporary file may stay behind";
}

TEST_F(UFileUtils, WriteFileDurablyCreatesOwnerOnlyFilesByDefault) {
    const std::string path = m_Dir + "/secret";
    WriteFileDurably(path, "");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_size, 0);
}

TEST_F(UFileUtils, WriteFileDurablyRaisesTheSystemErrorWhenTheDirectoryIsMissing) {
    try {
        WriteFileDurably(m_Dir + "/missing/data.txt", "x");
        FAIL() << "no exception";
    } catch (const Exception& error) {
        EXPECT_EQ(error.Message(), SystemErrorMessage(ENOENT));
    }
}

TEST_F(UFileUtils, WriteFileDurablyRemovesTheTemporaryFileWhenTheRenameFails) {
    ASSERT_TRUE(MakeDirectoryPath(m_Dir + "/target/inner"));
    try {
        WriteFileDurably(m_Dir + "/target", "data");
        FAIL() << "no exception";
    } catch (const Exception& error) {
        EXPECT_EQ(error.Message(), SystemErrorMessage(EISDIR));
    }
    EXPECT_EQ(Entries(m_Dir), std::vector<std::string>{"target"});
    EXPECT_EQ(Entries(m_Dir + "/target"), std::vector<std::string>{"inner"});
}

// Files a write left under its temporary name when the program was killed before the rename.
TEST_F(UFileUtils, StrandedTemporaryFilesAreRemovedUnlessTheirWriterStillRuns) {
    const pid_t finished = ::fork();
    ASSERT_GE(finished, 0);
    if (finished == 0) {
        ::_exit(0);
    }
    ASSERT_EQ(::waitpid(finished, nullptr, 0), finished);
    const std::string message = m_Dir + "/0000001A.eml";
    const std::string running = "0000001A.eml.tmp" + std::to_string(::getppid()) + "-0-1";
    for (const std::string& path : {TemporaryFileName(message), message + ".tmp" + std::to_string(finished) + "-7-12",
                                    m_Dir + "/" + running, message, m_Dir + "/x.tmp12-ab-3", m_Dir + "/y.tmp12-3-"}) {
        Touch(path);
    }
    EXPECT_EQ(RemoveStrandedTemporaryFiles(m_Dir), 2);
    EXPECT_EQ(Entries(m_Dir), (std::vector<std::string>{"0000001A.eml", running, "x.tmp12-ab-3", "y.tmp12-3-"}));
}

namespace {

// Sets environment variables (nullptr: unset) for its lifetime, then puts the old values back.
class TEnvironmentOverride {
public:
    TEnvironmentOverride(std::initializer_list<std::pair<const char*, const char*>> values) {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name);
            m_Saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            if (value)
                ::setenv(name, value, 1);
            else
                ::unsetenv(name);
        }
    }
    ~TEnvironmentOverride() {
        for (const auto& [name, old] : m_Saved) {
            if (old)
                ::setenv(name.c_str(), old->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }
    TEnvironmentOverride(const TEnvironmentOverride&) = delete;
    TEnvironmentOverride& operator=(const TEnvironmentOverride&) = delete;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> m_Saved;
};

} // namespace

// A program installed for every user must not write beside itself (/usr/bin), and each user gets
// their own folders under their home, as the XDG base directory rules place them.
TEST_F(UFileUtils, InstalledProgramKeepsEachUsersDataAndSettingsUnderTheirHome) {
    TEnvironmentOverride environment{{"TESSIVAR_HOME", nullptr},
                                     {"HOME", "/home/me"},
                                     {"XDG_DATA_HOME", "/xdg/data/"},
                                     {"XDG_CONFIG_HOME", "/xdg/config"}};
    TProgramFolders folders = ChooseProgramFolders("/usr/bin/", "/usr/bin/");
    EXPECT_EQ(folders.Data, "/xdg/data/tessivar/");
    EXPECT_EQ(folders.Settings, "/xdg/config/tessivar/");
    EXPECT_TRUE(folders.PerUser);
    // Unset or relative XDG variables are not valid and fall back to the home directory.
    ::unsetenv("XDG_DATA_HOME");
    ::setenv("XDG_CONFIG_HOME", "relative/config", 1);
    folders = ChooseProgramFolders("/usr/bin", "/usr/bin/");
    EXPECT_EQ(folders.Data, "/home/me/.local/share/tessivar/");
    EXPECT_EQ(folders.Settings, "/home/me/.config/tessivar/");
    ::setenv("XDG_DATA_HOME", "relative/data", 1);
    EXPECT_EQ(ChooseProgramFolders("/usr/bin/", "/usr/bin").Data, "/home/me/.local/share/tessivar/");
}

// A developer's run from the build folder (or a copy kept in a folder of its own) keeps its data
// beside the executable, where earlier versions kept it; only the exact installation directory
// counts as installed, not one that merely starts with the same text.
TEST_F(UFileUtils, ProgramOutsideTheInstallationDirectoryKeepsItsDataBesideItself) {
    TEnvironmentOverride environment{{"TESSIVAR_HOME", nullptr}, {"HOME", "/home/me"}, {"XDG_DATA_HOME", nullptr}};
    for (const char* executable : {"/work/build/release/bin/", "/usr/bin/sub/", "/usr/bin-old/", "/usr/"}) {
        const TProgramFolders folders = ChooseProgramFolders(executable, "/usr/bin/");
        EXPECT_EQ(folders.Data, executable);
        EXPECT_EQ(folders.Settings, executable);
        EXPECT_FALSE(folders.PerUser);
    }
    // A build that names no installation directory never counts as installed.
    EXPECT_EQ(ChooseProgramFolders("/usr/bin/", "").Data, "/usr/bin/");
    EXPECT_EQ(ChooseProgramFolders("", "/usr/bin/").Data, "./");
    // The test executable runs from its build folder.
    char exe[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    const std::string path = exe;
    EXPECT_EQ(SettingsDirectory(), path.substr(0, path.rfind('/') + 1));
}

// TESSIVAR_HOME names one folder for data and settings alike, for the installed program too (the
// tests and a user's second set-up rely on it).
TEST_F(UFileUtils, TessivarHomeWinsOverEveryOtherPlace) {
    TEnvironmentOverride environment{{"TESSIVAR_HOME", "/srv/mail-screening"}, {"XDG_DATA_HOME", "/xdg/data"}};
    for (const char* executable : {"/usr/bin/", "/work/build/bin/"}) {
        const TProgramFolders folders = ChooseProgramFolders(executable, "/usr/bin/");
        EXPECT_EQ(folders.Data, "/srv/mail-screening/");
        EXPECT_EQ(folders.Settings, "/srv/mail-screening/");
        EXPECT_FALSE(folders.PerUser) << "a folder the user named is not created for them";
    }
    EXPECT_EQ(SettingsDirectory(), "/srv/mail-screening/");
}
