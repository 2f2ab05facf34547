// termios2 through ioctl rather than <termios.h>: it takes any bit rate
// (BOTHER), not only the historical table, and the two headers clash.
#include "tty/device.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/last_error.h"

namespace tty {
namespace {

bool Fail(uint32_t* error, int code) {
    *error = platform::ErrorFromErrno(code);
    return false;
}

tcflag_t CharSize(unsigned dataBits) {
    switch (dataBits) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

tcflag_t ParityFlags(uint32_t parity) {
    switch (parity) {
        case PARITY_ODD:
            return PARENB | PARODD;
        case PARITY_EVEN:
            return PARENB;
        case PARITY_MARK:
            return PARENB | PARODD | CMSPAR;
        case PARITY_SPACE:
            return PARENB | CMSPAR;
        default:
            return 0;
    }
}

// Raw characters both ways, the receiver on, the modem lines no condition
// for reading (CLOCAL), and the rate as a plain number.
void FillTermios(termios2* t, const LineSettings& line) {
    t->c_iflag = IGNBRK;
    if (line.parity != PARITY_NONE) t->c_iflag |= INPCK;
    if (line.flow == FLOW_XON) t->c_iflag |= IXON | IXOFF;
    t->c_oflag = 0;
    t->c_lflag = 0;
    t->c_cflag = CREAD | CLOCAL | BOTHER | CharSize(line.dataBits) | ParityFlags(line.parity);
    if (line.stopBits == 2) t->c_cflag |= CSTOPB;
    if (line.flow == FLOW_RTS) t->c_cflag |= CRTSCTS;
    t->c_ispeed = line.rate;
    t->c_ospeed = line.rate;
    t->c_cc[VMIN] = 1;
    t->c_cc[VTIME] = 0;
}

}  // namespace

int OpenDevice(const std::string& path, uint32_t* error) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Fail(error, errno);
        return -1;
    }
    int code = 0;
    if (!isatty(fd)) code = ENOTTY;
    // flock holds against every process, root's too, where TIOCEXCL does not.
    else if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        code = errno == EWOULDBLOCK ? EBUSY : errno;
    if (code != 0) {
        close(fd);
        Fail(error, code);
        return -1;
    }
    ioctl(fd, TIOCEXCL);
    return fd;
}

void CloseDevice(int fd) {
    if (fd >= 0) close(fd);
}

bool ApplyLineSettings(int fd, const LineSettings& line, uint32_t* error) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0) return Fail(error, errno);
    FillTermios(&t, line);
    if (ioctl(fd, TCSETS2, &t) != 0) return Fail(error, errno);
    return true;
}

void FlushDevice(int fd) { ioctl(fd, TCFLSH, TCIOFLUSH); }

uint8_t ReadInputSignals(int fd) {
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) != 0) return 0;
    uint8_t signals = 0;
    if (lines & TIOCM_CTS) signals |= 0x01;
    if (lines & TIOCM_DSR) signals |= 0x02;
    if (lines & TIOCM_CD) signals |= 0x04;
    if (lines & TIOCM_RI) signals |= 0x08;
    return signals;
}

void SetOutputSignals(int fd, bool dtr, bool rts, bool rtsByKernel) {
    int on = (dtr ? TIOCM_DTR : 0) | (!rtsByKernel && rts ? TIOCM_RTS : 0);
    int off = (dtr ? 0 : TIOCM_DTR) | (!rtsByKernel && !rts ? TIOCM_RTS : 0);
    if (on != 0) ioctl(fd, TIOCMBIS, &on);
    if (off != 0) ioctl(fd, TIOCMBIC, &off);
}

KernelCounters ReadKernelCounters(int fd) {
    serial_icounter_struct icount{};
    KernelCounters counters;
    if (ioctl(fd, TIOCGICOUNT, &icount) != 0) return counters;
    counters.framing = uint32_t(icount.frame);
    counters.parity = uint32_t(icount.parity);
    counters.overrun = uint32_t(icount.overrun) + uint32_t(icount.buf_overrun);
    counters.breaks = uint32_t(icount.brk);
    return counters;
}

long ReadDevice(int fd, uint8_t* buffer, uint32_t length) {
    ssize_t n = read(fd, buffer, length);
    if (n > 0) return long(n);
    // A tty reads end-of-file only after a hang-up; a pseudo-terminal whose
    // other side is gone gives EIO; an unplugged adapter EIO or ENODEV.
    if (n == 0) return -1;
    if (errno == EAGAIN || errno == EINTR) return 0;
    return -1;
}

long WriteDevice(int fd, const uint8_t* data, uint32_t length) {
    ssize_t n = write(fd, data, length);
    if (n >= 0) return long(n);
    if (errno == EAGAIN || errno == EINTR) return 0;
    return -1;
}

}  // namespace tty
