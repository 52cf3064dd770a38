#pragma once
// Reading a password on the console. Main thread only.

#include <optional>
#include <string>

// With standard input a terminal: writes the prompt to standard error and reads a line without
// echo (echo comes back whatever happens, a signal included). Otherwise reads the first line of
// standard input without a prompt. The line's end ("\n" or "\r\n") is not part of it. nullopt when
// nothing could be read (end of input, a signal) or the line is longer than maximumLength.
std::optional<std::string> ReadPassword(const std::string& prompt, size_t maximumLength);
