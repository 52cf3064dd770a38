// The watcher process a stop leaves behind: detached from the program that started it, holding none
// of its descriptors.

#include "clients/UThunderbirdWatcher.h"

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
    WriteTextFile(script, "#!/bin/sh\nout=\"" + directory + "/seen\"\nls -l /proc/$$/fd > \"$out.fds\"\n"
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
    EXPECT_EQ(seen.substr(0, seen.find('|', seen.find('|') + 1)), std::string(ThunderbirdWatchCommand) + "|" +
                                                                     directory + "/p r o");
    EXPECT_EQ(seen.find("|" + session + "|"), std::string::npos) << seen;
    EXPECT_NE(seen.find("|/|0077"), std::string::npos) << seen;
    const std::string descriptors = ReadTextFile(directory + "/seen.fds");
    EXPECT_EQ(descriptors.find("pipe:"), std::string::npos) << descriptors;
    EXPECT_NE(descriptors.find("/dev/null"), std::string::npos) << descriptors;

    ::setenv("TESSIVAR_THUNDERBIRD_WATCHER", "", 1);
    EXPECT_FALSE(StartThunderbirdWatcher(directory)); // set empty: none is started
}
