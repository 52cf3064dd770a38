#pragma once
// Platform helpers: command-line switches, system error texts, GUIDs. Callable from any thread;
// SetCommandLine only before other threads start.

#include <string>
#include <string_view>
#include <vector>

// Replaces the arguments HasParam looks at (without the program name). By default they are read
// from the process's own command line.
void SetCommandLine(std::vector<std::string> arguments);
void SetCommandLine(int argc, char** argv);
// True when an argument equals word case-insensitively, whole, without prefix character.
bool HasParam(std::string_view word);

// The system's text for errno (or the given code) followed by " [code]".
std::string LastErrorMessage();
std::string SystemErrorMessage(int code);
// A random version-4 UUID, 36 characters, lower case, without braces.
std::string NewGUID();

struct TRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
};
TRect MovedRect(const TRect& rect, int dx, int dy);
