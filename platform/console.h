// Console keys. On a terminal the keys are read raw and without echo, and the
// terminal is put back on every way out (normal exit, the stop signals, the
// fatal ones); from a pipe or file the bytes of stdin are the keys (so
// scripts and tests can type), and the end of stdin means no more typed keys.
// Pushed-back keys are read first.
#pragma once

namespace platform {

// Raw, no-echo terminal when stdin is one; SIGINT and SIGTERM become the key
// 'x' (a second one ends the process at once, terminal restored). SIGINT
// stays ignored when the process was started with it ignored. Safe to call
// more than once.
void ConsoleInit();
// Puts the terminal back as it was; safe to call more than once.
void ConsoleRestore();

bool KeyWaiting();
// Next key without echo; -1 when no key is there (the end of stdin is not a
// key: pushed keys and signal keys still come after it).
int ReadKey();
void PushKey(int key);
// Sleeps until a key may be waiting (typed, pushed or from a stop signal) or
// the time-out passes; the caller checks KeyWaiting afterwards.
void WaitForKeyActivity(int timeoutMs);

// For tests: keys are read from fd from now on, an earlier end of input is
// forgotten and pending pushed keys are dropped.
void ConsoleUseInput(int fd);

}  // namespace platform
