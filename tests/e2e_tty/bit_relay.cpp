// A cable with a fault: copies bytes between two serial devices both ways,
// and on the way from the first to the second flips the lowest bit of chosen
// bytes.
//
//   bit_relay <from> <to> <skip> <every> <count>
//
// flips byte skip, skip + every, ... count times in all. Prints "relay
// ready" once both devices are open and "flipped <count>" after the last
// flip. Runs until it is killed.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

int OpenRaw(const char* path) {
    int fd = open(path, O_RDWR | O_NOCTTY);
    if (fd < 0) return -1;
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

std::mutex g_printLock;

struct Flipper {
    unsigned long long position = 0;  // bytes seen so far
    unsigned long long skip, every, count, flipped = 0;

    void Apply(unsigned char* data, ssize_t n) {
        for (ssize_t i = 0; i < n; ++i, ++position) {
            if (flipped == count || position < skip || (position - skip) % every != 0) continue;
            data[i] ^= 0x01;
            if (++flipped == count) {
                std::lock_guard<std::mutex> lock(g_printLock);
                std::printf("flipped %llu\n", flipped);
                std::fflush(stdout);
            }
        }
    }
};

// One direction, on a thread of its own: a far end that is slow to read
// must not hold up the other direction, as it would not on a cable.
void Copy(int from, int to, Flipper* flipper) {
    unsigned char buffer[4096];
    for (;;) {
        ssize_t n = read(from, buffer, sizeof buffer);
        if (n <= 0) std::exit(1);
        if (flipper) flipper->Apply(buffer, n);
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(to, buffer + done, size_t(n - done));
            if (w <= 0) std::exit(1);
            done += w;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: bit_relay <from> <to> <skip> <every> <count>\n");
        return 2;
    }
    int a = OpenRaw(argv[1]);
    int b = OpenRaw(argv[2]);
    if (a < 0 || b < 0) {
        std::perror("bit_relay: open");
        return 1;
    }
    Flipper flipper{0, std::strtoull(argv[3], nullptr, 10), std::strtoull(argv[4], nullptr, 10),
                    std::strtoull(argv[5], nullptr, 10)};
    if (flipper.every == 0) flipper.every = 1;
    {
        std::lock_guard<std::mutex> lock(g_printLock);
        std::printf("relay ready\n");
        std::fflush(stdout);
    }
    std::thread back(Copy, b, a, nullptr);
    Copy(a, b, &flipper);
    back.join();
}
