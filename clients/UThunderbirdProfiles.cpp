#include "clients/UThunderbirdProfiles.h"

#include "base/LStrings.h"
#include "base/UFileUtils.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

namespace {

std::string StripTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// The override when the variable is set (possibly empty), else the default under the home folder.
std::string RootDirectory(const char* variable, const char* underHome) {
    if (const char* value = std::getenv(variable); value != nullptr)
        return StripTrailingSlashes(value);
    return StripTrailingSlashes(HomeDirectory()) + "/" + underHome;
}

bool ReadWholeFile(const std::string& path, std::string& text) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    std::ostringstream buffer;
    buffer << file.rdbuf();
    text = buffer.str();
    return true;
}

const std::string* Value(const std::map<std::string, std::string>& section, const char* key) {
    const auto it = section.find(key);
    return it == section.end() ? nullptr : &it->second;
}

int64_t Nanoseconds(const struct timespec& time) {
    return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

} // namespace

std::vector<TProfileRoot> ThunderbirdProfileRoots() {
    const TProfileRoot all[] = {
        {RootDirectory("TESSIVAR_THUNDERBIRD_DIR", ".thunderbird"), ""},
        {RootDirectory("TESSIVAR_THUNDERBIRD_FLATPAK_DIR", ".var/app/org.mozilla.Thunderbird/.thunderbird"),
         "Flatpak"},
        {RootDirectory("TESSIVAR_THUNDERBIRD_SNAP_DIR", "snap/thunderbird/common/.thunderbird"), "Snap"},
    };
    std::vector<TProfileRoot> roots;
    for (const TProfileRoot& root : all) {
        if (!root.Directory.empty())
            roots.push_back(root);
    }
    return roots;
}

TIniSections ParseIni(std::string_view text) {
    TIniSections sections;
    for (const std::string& rawLine : SplitText(text, "\n")) {
        const std::string line = Trim(rawLine);
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line.front() == '[' && line.back() == ']') {
            sections.emplace_back(line.substr(1, line.size() - 2), std::map<std::string, std::string>());
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string::npos || sections.empty())
            continue;
        sections.back().second[Trim(line.substr(0, equals))] = Trim(line.substr(equals + 1));
    }
    return sections;
}

std::vector<TThunderbirdProfile> ProfilesFromIni(const TProfileRoot& root, std::string_view profilesIni,
                                                 std::string_view installsIni) {
    const auto resolve = [&root](const std::map<std::string, std::string>& section) -> std::string {
        const std::string* path = Value(section, "Path");
        if (path == nullptr || path->empty())
            return "";
        const std::string* relative = Value(section, "IsRelative");
        if (relative != nullptr && *relative == "0")
            return StripTrailingSlashes(*path);
        return root.Directory + "/" + StripTrailingSlashes(*path);
    };
    // The "Default" of an install section is a path as written in a profile section.
    std::vector<std::string> defaultPaths;
    for (const auto& [name, section] : ParseIni(installsIni)) {
        if (const std::string* path = Value(section, "Default"))
            defaultPaths.push_back(*path);
    }
    const TIniSections sections = ParseIni(profilesIni);
    for (const auto& [name, section] : sections) {
        if (name.rfind("Install", 0) == 0) {
            if (const std::string* path = Value(section, "Default"))
                defaultPaths.push_back(*path);
        }
    }

    std::vector<TThunderbirdProfile> defaults;
    std::vector<TThunderbirdProfile> markedDefault;
    std::vector<TThunderbirdProfile> others;
    for (const auto& [name, section] : sections) {
        if (name.rfind("Profile", 0) != 0)
            continue;
        TThunderbirdProfile profile;
        profile.Directory = resolve(section);
        if (profile.Directory.empty())
            continue;
        const std::string* profileName = Value(section, "Name");
        profile.Name = profileName ? *profileName : name;
        profile.Edition = root.Edition;
        const std::string* path = Value(section, "Path");
        bool installDefault = false;
        for (const std::string& candidate : defaultPaths)
            installDefault = installDefault || candidate == *path;
        const std::string* marked = Value(section, "Default");
        profile.IsDefault = installDefault || (marked != nullptr && *marked == "1");
        (installDefault ? defaults : profile.IsDefault ? markedDefault : others).push_back(profile);
    }
    std::vector<TThunderbirdProfile> profiles;
    std::set<std::string> seen;
    for (const auto* group : {&defaults, &markedDefault, &others}) {
        for (const TThunderbirdProfile& profile : *group) {
            if (seen.insert(profile.Directory).second)
                profiles.push_back(profile);
        }
    }
    return profiles;
}

std::vector<TThunderbirdProfile> ReadProfiles(const TProfileRoot& root) {
    std::string profilesIni;
    if (!ReadWholeFile(root.Directory + "/profiles.ini", profilesIni))
        return {};
    std::string installsIni;
    ReadWholeFile(root.Directory + "/installs.ini", installsIni);
    return ProfilesFromIni(root, profilesIni, installsIni);
}

bool ProfileInUse(const std::string& directory) {
    const std::string parentLock = directory + "/.parentlock";
    const int fd = ::open(parentLock.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0) {
        // An open file description lock test sees every conflicting lock, a record lock of this very
        // process included, and never takes the lock itself.
        struct flock probe = {};
        probe.l_type = F_WRLCK;
        probe.l_whence = SEEK_SET;
        const int result = ::fcntl(fd, F_OFD_GETLK, &probe);
        ::close(fd);
        if (result == 0)
            return probe.l_type != F_UNLCK;
    }
    // No usable lock file: the older lock, a link whose target is "address:+pid" or "address:pid".
    std::string target(256, '\0');
    const ssize_t length = ::readlink((directory + "/lock").c_str(), target.data(), target.size() - 1);
    if (length <= 0)
        return false;
    target.resize(static_cast<size_t>(length));
    const size_t colon = target.rfind(':');
    if (colon == std::string::npos)
        return false;
    std::string pidText = target.substr(colon + 1);
    if (!pidText.empty() && pidText[0] == '+')
        pidText.erase(0, 1);
    int32_t pid = 0;
    if (!TryStrToInt(pidText, pid) || pid <= 0)
        return false;
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

int64_t ProfileLockTime(const std::string& directory) {
    struct stat info = {};
    if (::lstat((directory + "/lock").c_str(), &info) != 0)
        return 0;
    return Nanoseconds(info.st_mtim);
}

int64_t FileModificationTime(const std::string& path) {
    struct stat info = {};
    if (::stat(path.c_str(), &info) != 0)
        return 0;
    return Nanoseconds(info.st_mtim);
}
