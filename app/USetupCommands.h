#pragma once
// The set-up commands ("account create|join|password", "accounts", "enable", "disable") and help:
// each runs one task on a loaded model, without screening and without touching the mail programs'
// settings. Main thread only.

#include <string>
#include <vector>

// Runs the command of the arguments (help included) or reports a usage error and returns the exit
// status; -1 when the arguments hold switches only (a screening run).
int RunCommand(const std::vector<std::string>& arguments);
