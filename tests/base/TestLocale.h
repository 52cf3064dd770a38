#pragma once
// Test helpers for locale and time zone: switch the C library's locale or the TZ zone for a scope
// and restore it afterwards. Main test thread only, while no other thread runs.

#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

// Switches to the German locale (decimal comma, "." grouping) for its lifetime. The locale is
// compiled once into the build directory with localedef, so no system-wide locale is needed.
class TGermanLocale {
public:
    TGermanLocale() {
        m_Previous = std::setlocale(LC_ALL, nullptr);
        const std::string directory = std::string(TESSIVAR_BINARY_DIR) + "/test-locales";
        const std::string locale = directory + "/de_DE.UTF-8";
        struct stat info {};
        if (::stat(locale.c_str(), &info) != 0) {
            // Tests may run in parallel: each builds into a directory of its own and renames it into
            // place; when another one was first, its locale is used and this one dropped.
            const std::string own = locale + ".tmp" + std::to_string(::getpid());
            const std::string command = "mkdir -p '" + directory + "' && localedef -i de_DE -f UTF-8 '" + own +
                                        "' >/dev/null 2>&1; mv -T '" + own + "' '" + locale +
                                        "' 2>/dev/null; rm -rf '" + own + "'";
            [[maybe_unused]] const int ignored = std::system(command.c_str());
        }
        ::setenv("LOCPATH", directory.c_str(), 1);
        m_Active = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    }
    ~TGermanLocale() {
        std::setlocale(LC_ALL, m_Previous.c_str());
        ::unsetenv("LOCPATH");
    }
    TGermanLocale(const TGermanLocale&) = delete;
    TGermanLocale& operator=(const TGermanLocale&) = delete;

    bool Active() const { return m_Active; }

private:
    std::string m_Previous;
    bool m_Active = false;
};

// Sets TZ for its lifetime.
class TTimeZone {
public:
    explicit TTimeZone(const char* zone) {
        if (const char* previous = std::getenv("TZ")) {
            m_Previous = previous;
        }
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~TTimeZone() {
        if (m_Previous) {
            ::setenv("TZ", m_Previous->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }
    TTimeZone(const TTimeZone&) = delete;
    TTimeZone& operator=(const TTimeZone&) = delete;

private:
    std::optional<std::string> m_Previous;
};
