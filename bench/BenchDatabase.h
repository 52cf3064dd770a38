#pragma once
// A database of the program's schema filled with generated accounts, domain names, senders and
// emails, for the benchmarks. Single-threaded.

#include <string>

// Creates directory + "Tessivar.db" with one account and the given numbers of rows: senders spread
// over the domains, emails over the senders, with a mix of statuses that all survive the cleanup.
void BuildBenchDatabase(const std::string& directory, int emails, int senders, int domains);
