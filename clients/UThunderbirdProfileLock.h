#pragma once
// Keeps this program's processes from changing one Thunderbird profile's files at the same time: a
// run of the program and a watcher left behind by an earlier run (UThunderbirdWatcher.h) each hold
// it from reading the files and the restore record to writing them back. It is an exclusive flock
// on the profile directory itself, so it leaves no file behind and ends with its holder's process.
// Any thread; one holder at a time per open, including two in the same process.

#include <chrono>
#include <string>

class TProfileLock {
public:
    // Waits for the lock up to timeout. Raises Exception when it is still held by then, or when the
    // directory cannot be opened. A file system without locks is taken as locked (traced).
    explicit TProfileLock(const std::string& directory,
                          std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    ~TProfileLock();
    TProfileLock(const TProfileLock&) = delete;
    TProfileLock& operator=(const TProfileLock&) = delete;

private:
    int m_Fd = -1;
};
