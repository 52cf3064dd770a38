#include "devservice/UServiceLog.h"

#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

void ServiceLog(std::string_view text) {
    static std::mutex lock;
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &utc);
    std::string line = std::string(stamp) + " tessivar-service: ";
    // Control characters from clients never reach the terminal.
    for (const char c : text)
        line += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? ' ' : c;
    line += '\n';
    std::lock_guard guard(lock);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}
