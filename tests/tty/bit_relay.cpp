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
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

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

struct Flipper {
    unsigned long long position = 0;  // bytes seen so far
    unsigned long long skip, every, count, flipped = 0;

    void Apply(unsigned char* data, ssize_t n) {
        for (ssize_t i = 0; i < n; ++i, ++position) {
            if (flipped == count || position < skip || (position - skip) % every != 0) continue;
            data[i] ^= 0x01;
            if (++flipped == count) std::printf("flipped %llu\n", flipped);
        }
        std::fflush(stdout);
    }
};

bool Copy(int from, int to, Flipper* flipper) {
    unsigned char buffer[4096];
    ssize_t n = read(from, buffer, sizeof buffer);
    if (n <= 0) return false;
    if (flipper) flipper->Apply(buffer, n);
    for (ssize_t done = 0; done < n;) {
        ssize_t w = write(to, buffer + done, size_t(n - done));
        if (w <= 0) return false;
        done += w;
    }
    return true;
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
    std::printf("relay ready\n");
    std::fflush(stdout);
    for (;;) {
        pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if ((fds[0].revents & POLLIN) && !Copy(a, b, &flipper)) return 1;
        if ((fds[1].revents & POLLIN) && !Copy(b, a, nullptr)) return 1;
    }
}
