#pragma once
// Directory helpers and the program directory. Callable from any thread.

#include <string>
#include <string_view>

bool IsDirectory(std::string_view path);
// Creates the directory and any missing parents (mode 0777 less the umask); true when it exists
// afterwards (the root "/" always does), false when that fails. Trailing "/" are ignored; a path
// without "/" is relative to the working directory. Empty path: Exception "Unable to create
// directory".
bool MakeDirectoryPath(std::string_view path);
// Directory holding the executable, or the directory named by TESSIVAR_HOME; ends with "/".
std::string ProgramDirectory();
// Writes data to path durably: temporary file in the same directory, flushed, renamed over the
// final name, directory flushed. The temporary file is created with mode (less the umask). Raises
// Exception with the system error text (SystemErrorMessage) on failure, the temporary file removed;
// the file at path is then either the old one or the complete new one.
void WriteFileDurably(const std::string& path, std::string_view data, unsigned mode = 0600);
