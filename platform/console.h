// Console keys. On a terminal the keys are read raw and without echo, and the
// terminal is put back on every way out; from a pipe or file the bytes of
// stdin are the keys (so scripts and tests can type), and the end of stdin
// means no more typed keys. Pushed-back keys are read first.
#pragma once

namespace platform {

// Raw terminal when stdin is one; SIGINT and SIGTERM become the key 'x'.
void ConsoleInit();
// Puts the terminal back as it was; safe to call more than once.
void ConsoleRestore();

bool KeyWaiting();
// Next key without echo; -1 when no key can come any more.
int ReadKey();
void PushKey(int key);

}  // namespace platform
