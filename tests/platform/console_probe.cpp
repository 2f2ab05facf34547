// A small program for the console tests: takes the console as ondrel does and
// reports every key it reads, until x (or forever with "keep-going").
// The key f makes it fault, to show the terminal survives a crash.
#include <sys/mman.h>

#include <cstdio>
#include <cstring>

#include "platform/console.h"
#include "platform/sync.h"

int main(int argc, char** argv) {
    const bool keepGoing = argc > 1 && std::strcmp(argv[1], "keep-going") == 0;
    platform::ConsoleInit();
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        while (!platform::KeyWaiting()) platform::SleepMs(1);
        int key = platform::ReadKey();
        if (key < 0) continue;
        std::printf("key %d\n", key);
        std::fflush(stdout);
        if (key == 'f') {
            // A page nothing may touch: a genuine fault, not one a sanitizer
            // catches before the hardware does.
            void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            *static_cast<volatile int*>(page) = 1;
        }
        if (key == 'x' && !keepGoing) break;
    }
    platform::ConsoleRestore();
    std::printf("done\n");
    return 0;
}
