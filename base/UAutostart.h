#pragma once
// Start at logon: the XDG autostart entry that starts this program when the user logs on to the
// desktop. Callable from any thread; the file operations are atomic, so two callers leave either
// entry whole.
//
// The entry lives in $XDG_CONFIG_HOME/autostart/tessivar.desktop, or ~/.config/autostart/ when
// XDG_CONFIG_HOME is unset or not an absolute path. Its Exec line starts the program file that is
// running now, so a program that was moved registers its new place at the next start.

#include <string>
#include <string_view>

// The full path of the running program file; "" when the system does not tell it.
std::string ProgramFileName();
// One argument of an Exec line: quoted when it holds a reserved character, "%" doubled, and
// escaped as a desktop entry string value, so that a launcher reads back exactly argument.
std::string DesktopExecArgument(std::string_view argument);
// The autostart entry that starts programFile without arguments.
std::string AutostartEntryText(std::string_view programFile);
// Where the entry lives (see above).
std::string AutostartEntryFileName();

// Writes the entry for the running program, creating its folder when missing. Raises Exception
// when the program file is unknown or the folder or the file cannot be written.
void RegisterAutostart();
// Removes the entry; false when there was none. Raises Exception when it cannot be removed.
bool UnregisterAutostart();
