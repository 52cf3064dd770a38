#pragma once
// Starting other programs from a program with threads: the child holds none of the program's
// descriptors, signal settings or working directory. Any thread.

#include <chrono>
#include <string>
#include <vector>

// The program's path in the directories of PATH; empty when it is in none of them.
std::string FindInPath(const char* name);

// Runs arguments[0] (a path) with the arguments as a child, standard streams on /dev/null, no other
// descriptor of this process (no listening socket, database or lock may live on), "/" as working
// directory, owner-only files, no blocked or ignored signal; waits for its exit up to timeout, then
// kills it. True when it exited with status 0. With detach the program runs as a grandchild in a
// session of its own, and the wait is for the child in between, which ends at once: the program is
// nobody's child (no zombie is left) and has no terminal; true then says it was started.
bool RunChild(std::vector<std::string> arguments, bool detach, std::chrono::milliseconds timeout);
