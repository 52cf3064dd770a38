#pragma once
// What the throw-away Dovecot fixtures share: a directory Dovecot's unprivileged processes can
// reach, free loopback ports, and starting and stopping the master process in the foreground.
// Thread contract: plain functions; each process handle is used by one thread.

#include <sys/types.h>

#include <string>
#include <vector>

namespace DovecotProcess {

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
// A port that was free a moment ago. Another process may take it before Dovecot binds it; the
// caller then tries again with a new one.
int FreeLoopbackPort();
bool PortAccepts(int port);
void ChownToDovecot(const std::string& path);
// A fresh temporary directory (mode 0755) with "run" and a "mail" folder owned by the dovecot user.
std::string MakeDirectory(const std::string& prefix);
// Runs "dovecot -F -c config" with its output to outputPath and waits until every port accepts
// connections: the process id, or -1 when it ended first (the port was taken meanwhile; the output
// file says why) or never listened.
pid_t Start(const std::string& config, const std::string& outputPath, const std::vector<int>& ports);
// Stops the process and every process it started (its process group) at once and waits for it;
// nothing for -1.
void Stop(pid_t& process);
// Runs a command line through /bin/sh with its output captured; raises std::runtime_error naming
// the output when it fails.
std::string Run(const std::string& command);

} // namespace DovecotProcess
