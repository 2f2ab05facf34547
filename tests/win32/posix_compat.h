// The few POSIX calls the test sources use to set up their runs, in terms of
// the C runtime of Windows. Force-included into the test programs of the
// Windows build, so that the suites stay one source for both systems.
#pragma once

#include <direct.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>

#include <csignal>

#ifndef SIGKILL
#define SIGKILL 9
#endif

inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && getenv(name) != nullptr) return 0;
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }

inline int pipe(int fds[2]) { return _pipe(fds, 65536, _O_BINARY); }

inline int mkdir(const char* path, int) { return _mkdir(path); }

// Windows has no FIFOs in the file system; a test that needs one cannot make it.
inline int mkfifo(const char*, int) {
    errno = ENOSYS;
    return -1;
}
