// Child processes and the stop signals of a program that runs another one
// (the companion front end starts `ondrel -g`).
#pragma once

#include <string>
#include <vector>

namespace platform {

// Starts program with args; the child shares this process's console. The
// child's id, or -1 with the reason in error.
int StartProcess(const std::string& program, const std::vector<std::string>& args,
                 std::string* error);
// Waits up to timeoutMs (negative: no limit) for the child to end. True with
// its exit code (-1 when a signal ended it) once it has ended.
bool WaitProcess(int pid, int timeoutMs, int* exitCode);
// Asks the child to end as Ctrl-C would.
void InterruptProcess(int pid);
// SIGINT and SIGTERM are counted rather than ending the process; a write to
// a connection the peer closed fails instead of ending it.
void CountStopSignals();
int StopSignalCount();
// This process's id.
int CurrentProcessId();
// The folder of the running program, with a trailing slash; empty if unknown.
std::string ProgramFolder();

}  // namespace platform
