#pragma once
// Test helpers for the registry: a fresh registry directory per test, file access, and a file size
// limit that makes writes fail the way a full disk does. Main test thread only.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>

#include "base/URegistry.h"

// Points the registry at a new empty directory for its lifetime.
class TRegistryTestDirectory {
public:
    TRegistryTestDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tessivar-registry-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        m_Path = pattern;
        setenv("TESSIVAR_REGISTRY_DIR", m_Path.c_str(), 1);
    }
    ~TRegistryTestDirectory() {
        unsetenv("TESSIVAR_REGISTRY_DIR");
        std::error_code ignored;
        std::filesystem::remove_all(m_Path, ignored);
    }
    TRegistryTestDirectory(const TRegistryTestDirectory&) = delete;
    TRegistryTestDirectory& operator=(const TRegistryTestDirectory&) = delete;

    const std::string& Path() const { return m_Path; }
    std::string File(TRegistryRoot root = HKEY_CURRENT_USER) const { return RegistryFileName(root); }

    std::string Read(TRegistryRoot root = HKEY_CURRENT_USER) const { return ReadFile(File(root)); }
    // Replaces the file in place, as an editor or another program would.
    void Write(const std::string& text, TRegistryRoot root = HKEY_CURRENT_USER) const {
        std::ofstream out(File(root), std::ios::binary | std::ios::trunc);
        out << text;
    }

    static std::string ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Number of entries in the directory (to find temporary files left behind).
    size_t EntryCount() const {
        size_t count = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(m_Path))
            ++count;
        return count;
    }

private:
    std::string m_Path;
};

// Limits the size of files this process may write, so that writing a larger file fails with EFBIG
// part way, like a full disk. Works for root as well, unlike permissions.
class TFileSizeLimit {
public:
    explicit TFileSizeLimit(rlim_t bytes) {
        m_OldHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_Old);
        rlimit limit = m_Old;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~TFileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_Old);
        std::signal(SIGXFSZ, m_OldHandler);
    }
    TFileSizeLimit(const TFileSizeLimit&) = delete;
    TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

private:
    rlimit m_Old{};
    void (*m_OldHandler)(int) = nullptr;
};
