#pragma once
// What the benchmarks share: a database of the program's schema filled with generated accounts,
// domain names, senders and emails, a call target for a model without workers, and running a
// command of the shell. Single-threaded.

#include <sys/resource.h>

#include <memory>
#include <string>

#include "core/UThreadedCallTarget.h"

// Creates directory + "Tessivar.db" with one account and the given numbers of rows: senders spread
// over the domains, emails over the senders, with a mix of statuses that all survive the cleanup.
void BuildBenchDatabase(const std::string& directory, int emails, int senders, int domains);

// A new temporary program directory (ending in "/"), named in TESSIVAR_HOME and TESSIVAR_REGISTRY_DIR,
// holding a database of argv[1], argv[2] and argv[3] emails, senders and domain names (100,000, 20,000
// and 5,000 when fewer arguments are given). Empty when the directory cannot be made.
std::string PrepareBenchHome(int argc, char** argv);

// The owner of a model whose workers never call it: sends are refused, posts dropped.
class TIdleCallTarget : public IThreadedCallTarget {
public:
    void SetDispatcher(TDispatcher) override {}
    bool Send(TThreadedCallData&) override { return false; }
    void Post(std::unique_ptr<TThreadedCallData>) override {}
};

// Runs a command line through the shell and returns its standard output.
std::string ShellOutput(const std::string& command);

// User and system processor time of a resource usage, in seconds.
double CpuSeconds(const rusage& usage);
