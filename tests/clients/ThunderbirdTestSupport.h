#pragma once
// Test helpers for the Thunderbird driver: profile roots in a fresh directory (the machine's own are
// never searched, no watcher process is started) and a stand-in for a running Thunderbird holding a profile. Main test thread only.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

inline std::string ReadTextFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

inline void WriteTextFile(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Points the packaged and Flatpak roots into a new directory and leaves the Snap root out.
class TThunderbirdRoots {
public:
    TThunderbirdRoots() : m_Path(std::filesystem::temp_directory_path() / "tessivar-thunderbird-XXXXXX") {
        if (!::mkdtemp(m_Path.data()))
            throw std::runtime_error("mkdtemp failed");
        ::setenv("TESSIVAR_THUNDERBIRD_DIR", Packaged().c_str(), 1);
        ::setenv("TESSIVAR_THUNDERBIRD_FLATPAK_DIR", Flatpak().c_str(), 1);
        ::setenv("TESSIVAR_THUNDERBIRD_SNAP_DIR", "", 1);
        ::setenv("TESSIVAR_THUNDERBIRD_WATCHER", "", 1); // a test runs the watcher itself
    }
    ~TThunderbirdRoots() {
        for (const char* name : {"TESSIVAR_THUNDERBIRD_DIR", "TESSIVAR_THUNDERBIRD_FLATPAK_DIR", "TESSIVAR_THUNDERBIRD_SNAP_DIR",
                                 "TESSIVAR_THUNDERBIRD_WATCHER"})
            ::unsetenv(name);
        std::error_code ignored;
        std::filesystem::remove_all(m_Path, ignored);
    }
    TThunderbirdRoots(const TThunderbirdRoots&) = delete;
    TThunderbirdRoots& operator=(const TThunderbirdRoots&) = delete;

    std::string Packaged() const { return m_Path + "/home/.thunderbird"; }
    std::string Flatpak() const { return m_Path + "/home/.var/app/org.mozilla.Thunderbird/.thunderbird"; }

private:
    std::string m_Path;
};

// A running Thunderbird's locks on a profile: a write lock on ".parentlock" (of the open file, so
// that the driver's own look at the file in this process does not drop it) and the "lock" link to
// "address:+pid". Exit() releases both; Kill() only the lock, leaving the link as a killed one does.
class TRunningThunderbird {
public:
    explicit TRunningThunderbird(std::string profile) : m_Profile(std::move(profile)) {
        ::usleep(20000); // the link must be newer than a file written just before, at the clock's grain
        m_Fd = ::open((m_Profile + "/.parentlock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        const std::string target = "127.0.0.1:+" + std::to_string(::getpid());
        ::unlink((m_Profile + "/lock").c_str());
        if (m_Fd < 0 || ::fcntl(m_Fd, F_OFD_SETLK, &lock) != 0 ||
            ::symlink(target.c_str(), (m_Profile + "/lock").c_str()) != 0)
            throw std::runtime_error("cannot lock the profile");
    }
    ~TRunningThunderbird() { Exit(); }
    TRunningThunderbird(const TRunningThunderbird&) = delete;
    TRunningThunderbird& operator=(const TRunningThunderbird&) = delete;

    void Exit() {
        if (m_Fd >= 0)
            ::unlink((m_Profile + "/lock").c_str());
        Kill();
    }
    void Kill() {
        if (m_Fd >= 0)
            ::close(m_Fd);
        m_Fd = -1;
    }

private:
    std::string m_Profile;
    int m_Fd = -1;
};
