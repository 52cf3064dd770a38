#pragma once
// Directory helpers and the program directory. Callable from any thread.

#include <string>
#include <string_view>

bool IsDirectory(std::string_view path);
// Creates the directory and any missing parents, each with exactly mode whatever the umask (by
// default owner-only: every directory this program makes holds its private data); directories that
// exist already are left as they are. True when it exists afterwards (the root "/" always does),
// false when that fails. Trailing "/" are ignored; a path without "/" is relative to the working
// directory. Empty path: Exception "Unable to create directory".
bool MakeDirectoryPath(std::string_view path, unsigned mode = 0700);
// The folder of the program's data (Tessivar.db, store/, Logs/), ending with "/". The folder named by
// TESSIVAR_HOME when that is set. Otherwise an installed program, one that runs from the directory
// the build installs programs into (/usr/bin for the package) and so is shared by every user of the
// machine, keeps the data of the user running it in DataHomeDirectory() + "/tessivar/", created
// owner-only when missing; a program run from anywhere else (its build folder, a copy kept in a
// folder of its own) keeps it in the directory holding the executable.
std::string ProgramDirectory();
// The folder of the user's own settings files (TrustedCertificates.pem), ending with "/": the folder
// named by TESSIVAR_HOME when that is set; for an installed program ConfigDirectory() + "/tessivar/";
// otherwise the directory holding the executable, beside the data.
std::string SettingsDirectory();

// The places ProgramDirectory and SettingsDirectory choose, for an executable in
// executableDirectory when programs are installed into installedDirectory (empty: none is known).
// Both end with "/". Reads TESSIVAR_HOME, XDG_DATA_HOME, XDG_CONFIG_HOME and HOME; creates nothing.
struct TProgramFolders {
    std::string Data;
    std::string Settings;
    bool PerUser = false; // the data folder is the user's own under their home
};
TProgramFolders ChooseProgramFolders(std::string_view executableDirectory, std::string_view installedDirectory);

// The value of an environment variable; empty when it is not set.
std::string EnvironmentText(const char* name);
// The user's home directory: $HOME, else the password database's entry, else ".".
std::string HomeDirectory();
// The user's configuration directory without a trailing "/": $XDG_CONFIG_HOME when it is an
// absolute path (relative values are not valid and are ignored), else ~/.config.
std::string ConfigDirectory();
// The user's data directory without a trailing "/": $XDG_DATA_HOME when it is an absolute path
// (relative values are ignored, as for ConfigDirectory), else ~/.local/share.
std::string DataHomeDirectory();
// Writes data to path durably: temporary file in the same directory, flushed, renamed over the
// final name, directory flushed. The temporary file is created with mode (less the umask). Raises
// Exception with the system error text (SystemErrorMessage) on failure, the temporary file removed;
// the file at path is then either the old one or the complete new one.
void WriteFileDurably(const std::string& path, std::string_view data, unsigned mode = 0600);
// As WriteFileDurably, but nothing is flushed: the file at path is the old one or the complete new
// one whenever the program stops; only a crash of the whole system may lose the new data until
// FlushFile (for the data) and FlushDirectory (for the name) have run.
void WriteFileAtomically(const std::string& path, std::string_view data, unsigned mode = 0600);
// Flush a file's data or a directory's entries to the disk; raise Exception with the system error
// text (a directory whose file system cannot flush directories counts as flushed).
void FlushFile(const std::string& path);
void FlushDirectory(const std::string& directory);
// Flushes everything written to the file system that holds the directory, file data and names
// alike: one journal commit where flushing many files one by one would cost one each.
void FlushFileSystem(const std::string& directory);
// The name WriteFileDurably writes under before it renames the file to path: path + ".tmp" + the
// process id + "-" + a counter + "-" + a random number.
std::string TemporaryFileName(const std::string& path);
// Removes the files in directory that a write killed before its rename left under a temporary
// name; those of another process that is still running are kept, as its write may be under way.
// Returns how many were removed; a directory that cannot be read counts as holding none.
int RemoveStrandedTemporaryFiles(const std::string& directory);
