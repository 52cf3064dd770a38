#pragma once
// Test helper: points XDG_CONFIG_HOME at a new empty directory for its lifetime, so that nothing a
// test writes there (the autostart entry) reaches the real user's desktop. Main test thread only.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

class TTemporaryConfigHome {
public:
    TTemporaryConfigHome() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tessivar-config-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        m_Path = pattern;
        if (const char* old = std::getenv("XDG_CONFIG_HOME"))
            m_Old = old;
        setenv("XDG_CONFIG_HOME", m_Path.c_str(), 1);
    }
    ~TTemporaryConfigHome() {
        if (m_Old)
            setenv("XDG_CONFIG_HOME", m_Old->c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        std::error_code ignored;
        std::filesystem::remove_all(m_Path, ignored);
    }
    TTemporaryConfigHome(const TTemporaryConfigHome&) = delete;
    TTemporaryConfigHome& operator=(const TTemporaryConfigHome&) = delete;

    const std::string& Path() const { return m_Path; }
    std::string AutostartFile() const { return m_Path + "/autostart/tessivar.desktop"; }
    bool AutostartExists() const { return std::filesystem::exists(AutostartFile()); }
    std::string ReadAutostart() const {
        std::ifstream in(AutostartFile(), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void WriteAutostart(const std::string& text) const {
        std::filesystem::create_directories(m_Path + "/autostart");
        std::ofstream(AutostartFile(), std::ios::binary | std::ios::trunc) << text;
    }

private:
    std::string m_Path;
    std::optional<std::string> m_Old;
};
