#pragma once
// Directory helpers and the program directory. Callable from any thread.

#include <string>
#include <string_view>

bool IsDirectory(std::string_view path);
// Creates the directory and any missing parents; false when that fails. Empty path: Exception
// "Unable to create directory".
bool MakeDirectoryPath(std::string_view path);
// Directory holding the executable, or the directory named by TESSIVAR_HOME; ends with "/".
std::string ProgramDirectory();
// Writes data to path durably: temporary file in the same directory, flushed, renamed over the
// final name, directory flushed. Raises Exception with the system error text on failure.
void WriteFileDurably(const std::string& path, std::string_view data, unsigned mode = 0600);
