// The watcher process a stop leaves behind: detached from the program that started it, holding none
// of its descriptors; and the record of the servers it waits for.

#include "clients/UThunderbirdWatcher.h"

#include "clients/UThunderbirdRedirectRecord.h"

#include "tests/clients/ThunderbirdTestSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <thread>

TEST(UThunderbirdWatcher, StartedWatcherHoldsNoDescriptorTerminalOrSessionOfItsStarter) {
    TThunderbirdRoots roots;
    const std::string directory = roots.Packaged();
    std::filesystem::create_directories(directory);
    // Stands in for the program: says how it was started.
    const std::string script = directory + "/watcher.sh";
    WriteTextFile(script, "#!/bin/sh\nout=\"" + directory +
                              "/seen\"\nls -l /proc/$$/fd > \"$out.fds\"\n"
                              "echo \"$1|$2|$(cut -d' ' -f6 /proc/$$/stat)|$(pwd)|$(umask)\" > \"$out.tmp\"\n"
                              "mv \"$out.tmp\" \"$out\"\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    ::setenv("TESSIVAR_THUNDERBIRD_WATCHER", script.c_str(), 1);
    int inherited[2];
    ASSERT_EQ(::pipe(inherited), 0); // without close-on-exec, as a careless descriptor would be

    ASSERT_TRUE(StartThunderbirdWatcher(directory + "/p r o"));
    for (int i = 0; i < 500 && !std::filesystem::exists(directory + "/seen"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::close(inherited[0]);
    ::close(inherited[1]);
    std::string seen = ReadTextFile(directory + "/seen");
    ASSERT_FALSE(seen.empty());
    seen.pop_back();
    const std::string session = std::to_string(::getsid(0));
    EXPECT_EQ(seen.substr(0, seen.find('|', seen.find('|') + 1)),
              std::string(ThunderbirdWatchCommand) + "|" + directory + "/p r o");
    EXPECT_EQ(seen.find("|" + session + "|"), std::string::npos) << seen;
    EXPECT_NE(seen.find("|/|0077"), std::string::npos) << seen;
    const std::string descriptors = ReadTextFile(directory + "/seen.fds");
    EXPECT_EQ(descriptors.find("pipe:"), std::string::npos) << descriptors;
    EXPECT_NE(descriptors.find("/dev/null"), std::string::npos) << descriptors;

    ::setenv("TESSIVAR_THUNDERBIRD_WATCHER", "", 1);
    EXPECT_FALSE(StartThunderbirdWatcher(directory)); // set empty: none is started
}

// Run as a service, the program's processes all end with the service's stop: the watcher is started
// as a service of its own, and directly where the service manager cannot start it.
TEST(UThunderbirdWatcher, UnderAServiceTheWatcherIsAServiceOfItsOwnOrStartedDirectly) {
    TThunderbirdRoots roots;
    const std::string directory = roots.Packaged();
    std::filesystem::create_directories(directory);
    const std::string watcher = directory + "/watcher.sh";
    WriteTextFile(watcher, "#!/bin/sh\necho \"$1 $2\" > \"" + directory + "/direct\"\n");
    // Says how it was called; fails while the file "refuse" exists.
    WriteTextFile(directory + "/bin/systemd-run", "#!/bin/sh\necho \"$@\" > \"" + directory +
                                                      "/unit\"\n"
                                                      "test ! -e \"" +
                                                      directory + "/refuse\"\n");
    for (const std::string& script : {watcher, directory + "/bin/systemd-run"})
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (directory + "/bin:" + path).c_str(), 1);
    ::setenv("INVOCATION_ID", "0123", 1);
    ::setenv("TESSIVAR_THUNDERBIRD_WATCHER", watcher.c_str(), 1);

    EXPECT_TRUE(StartThunderbirdWatcher("/p"));
    EXPECT_EQ(ReadTextFile(directory + "/unit"),
              "--user --quiet --collect -- " + watcher + " " + ThunderbirdWatchCommand + " /p\n");
    EXPECT_FALSE(std::filesystem::exists(directory + "/direct"));

    WriteTextFile(directory + "/refuse", "");
    EXPECT_TRUE(StartThunderbirdWatcher("/q"));
    for (int i = 0; i < 500 && ReadTextFile(directory + "/direct").empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(ReadTextFile(directory + "/direct"), std::string(ThunderbirdWatchCommand) + " /q\n");
    ::setenv("PATH", path.c_str(), 1);
    ::unsetenv("INVOCATION_ID");
}

// A record written before the waiting servers kept what they were given still reads (its servers
// then wait with nothing known of the redirect), and one written now reads back as written.
TEST(UThunderbirdWatcher, RecordOfWaitingServersReadsInBothForms) {
    const std::string older = "Tessivar Thunderbird restore record 1\noriginal-prefs 0:\nwritten-prefs 0:\n"
                              "pending 7:server1\n";
    const std::optional<TThunderbirdRedirectRecord> record = ParseRedirectRecord(older);
    ASSERT_TRUE(record.has_value());
    ASSERT_TRUE(record->Pending.contains("server1"));
    EXPECT_TRUE(record->Pending.at("server1").Host.empty());

    TThunderbirdRedirectRecord now = *record;
    now.Pending["server1"] = {"127.1", 20001, 7, {"pop.example.test", 995, 3, 0}};
    EXPECT_EQ(ParseRedirectRecord(FormatRedirectRecord(now)), now);
}
