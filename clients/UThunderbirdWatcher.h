#pragma once
// What a stop leaves behind when a running Thunderbird holds a profile whose servers it took local:
// a detached process of this program that waits until that Thunderbird has gone and then gives the
// profile its files back, prefs.js with the real servers (after Thunderbird's own last write of it)
// and user.js as it was before the redirect, byte for byte. Until then the real values wait in
// user.js, which is all a Thunderbird started while no watcher lives (killed, a logout) has to go by;
// the next run of the program takes them out in the same way.
//
// The watcher only ever acts on the servers the profile's restore record still has waiting, under
// the profile's lock (UThunderbirdProfileLock.h): a run started meanwhile that points them at a
// local server again takes them off that list, and the watcher, finding nothing waiting, ends.

#include <chrono>
#include <csignal>
#include <string>

// The hidden command word of a watcher: "tessivar <word> PROFILE-DIRECTORY".
extern const char* const ThunderbirdWatchCommand;

// The values waiting in user.js have been read by Thunderbird or never will be by the one that
// held the profile: none runs, or the one running started after user.js was last written.
bool ThunderbirdHasReadUserFile(const std::string& profileDirectory);

enum class TWatchResult {
    Waiting,  // Thunderbird still holds the profile as it did
    Restored, // the files were given back
    Done,     // nothing waits (any more): a run took over, or the record is gone or unreadable
};
// One look at the profile, and the restore once Thunderbird has gone. Raises Exception when the
// files cannot be written.
TWatchResult WatchProfile(const std::string& profileDirectory);

struct TWatchTimes {
    std::chrono::milliseconds Interval{1000};
    // Told to end (SIGTERM, as every process of a session is at a logout, Thunderbird among them),
    // the watcher looks this often for so long at most: a Thunderbird told at the same time writes
    // its last prefs.js and lets the profile go within it.
    std::chrono::milliseconds EndingInterval{100};
    std::chrono::milliseconds EndingGrace{5000};
};
// The watcher's main loop: looks every interval until the result is no longer Waiting, or the
// grace after ending became true has passed. One watcher per profile: a second one ends at once.
// Exit status 0, or 1 when the files could not be written.
int RunThunderbirdWatcher(const std::string& profileDirectory, const TWatchTimes& times = {},
                          const volatile std::sig_atomic_t* ending = nullptr);
// The watcher process: the loop above, ending as SIGTERM, SIGINT or SIGHUP tell it.
int ThunderbirdWatcherMain(const std::string& profileDirectory);

// Starts a watcher of the profile as a process of its own: this program's executable (or the one
// TESSIVAR_THUNDERBIRD_WATCHER names; set empty, none is started) in a session of its own, without
// a terminal, standard streams on /dev/null, no other descriptor of this process, working in "/",
// files owner-only. Run as a service of the user's service manager (INVOCATION_ID set), whose stop
// ends every process the service started, the watcher is a service of its own (systemd-run --user),
// where that works. True when it was started.
bool StartThunderbirdWatcher(const std::string& profileDirectory);
