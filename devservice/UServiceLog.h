#pragma once
// The service's own log: one time-stamped line per event on standard error. Any thread.

#include <string_view>

void ServiceLog(std::string_view text);
