#pragma once
// Where Thunderbird keeps its profiles on this machine, which of them is the default, and whether a
// running Thunderbird holds one. Callable from any thread (the driver calls it on the model's).
//
// Three roots are searched, each overridable by an environment variable (a variable that is set
// but empty leaves its root out):
//   TESSIVAR_THUNDERBIRD_DIR          ~/.thunderbird                                  (packages)
//   TESSIVAR_THUNDERBIRD_FLATPAK_DIR  ~/.var/app/org.mozilla.Thunderbird/.thunderbird (Flatpak)
//   TESSIVAR_THUNDERBIRD_SNAP_DIR     ~/snap/thunderbird/common/.thunderbird          (Snap)

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

struct TProfileRoot {
    std::string Directory; // without a trailing "/"
    std::string Edition;   // "" for the packaged program, "Flatpak" or "Snap"
};

struct TThunderbirdProfile {
    std::string Name;      // as profiles.ini names it
    std::string Directory; // absolute, without a trailing "/"
    std::string Edition;
    bool IsDefault = false;
};

// The roots in the order above, without those whose variable is set empty.
std::vector<TProfileRoot> ThunderbirdProfileRoots();

// An INI file: section name -> (key -> value), keys in the last section of a name winning.
using TIniSections = std::vector<std::pair<std::string, std::map<std::string, std::string>>>;
// Lines "[section]" and "key=value"; blanks, ";" and "#" comments and anything else are skipped.
TIniSections ParseIni(std::string_view text);

// The profiles that the root's profiles.ini lists, default profiles first (the ones installs.ini
// names, then those of [Install...] sections, then the one marked Default=1), each directory once.
// A root without profiles.ini has none.
std::vector<TThunderbirdProfile> ReadProfiles(const TProfileRoot& root);
// Same, parsed from the two files' texts (installs may be empty).
std::vector<TThunderbirdProfile> ProfilesFromIni(const TProfileRoot& root, std::string_view profilesIni,
                                                 std::string_view installsIni);

// A Thunderbird holds the profile now: the lock on its ".parentlock" file is taken, or, where that
// file is missing, its "lock" link names a process that is alive.
bool ProfileInUse(const std::string& directory);
// When the running Thunderbird took the profile: the time of its "lock" link in nanoseconds since
// the epoch; 0 when there is none.
int64_t ProfileLockTime(const std::string& directory);
// The modification time of the file in nanoseconds since the epoch; 0 when it is missing.
int64_t FileModificationTime(const std::string& path);
