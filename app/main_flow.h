// The program's run from the command line to the exit code: settings checks,
// port, worker threads, the console key loop and the closing status.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "card/driver.h"

// Exit code when the simulated card driver cannot be set up from its
// configuration (ONDREL_CARD_CONFIG); no test has started then.
constexpr int kExitDriverUnavailable = 2;
// Exit codes of runs that measured nothing about the line, so that none of
// them reads as 1, "no bit errors": the port could not be set up (no test
// started), the card was removed during the test, or the card refused a
// transmit or a statistics read during the test.
constexpr int kExitSetupFailed = 3;
constexpr int kExitCardRemoved = 4;
constexpr int kExitLinkFailed = 5;
// -g, and no front end listened at the pipe: no test ran.
constexpr int kExitNoFrontEnd = 6;
// Tests that ran but not on a line in sync throughout (7 and 8) are in
// core/run_state.h, beside the sync outcome the multi-drop and delay tests note.

// The worker threads of the running test. g_hRxThread holds whichever of
// KVIOEventThread, HardwareBERTRxThread or EchoThread runs.
extern std::thread g_hRxThread;
extern std::thread g_hTxThread;
extern std::thread g_hModbusThread;
extern std::thread g_hStatsUpdateThread;
extern std::thread g_hRTDThread;

// The whole run; returns the process exit code.
int RunOndrel(int argc, char** argv);

// Stops the threads of the current test, then releases the port and the
// transmit slots. Safe when nothing was started; safe to repeat.
void StopThreads();

// Next console key, polling every millisecond; the end of stdin is not a key.
int WaitForKey();

// Serves keys until x, ESC or a quit request ends the test, then stops the
// threads.
void RunKeyLoop();

// Installs the driver the factory makes, unless one is installed already.
// False, with the factory's error logged, when it makes none and says why.
using DriverFactory = std::unique_ptr<card::Driver> (*)(std::string* error);
bool InstallDriver(DriverFactory factory);
