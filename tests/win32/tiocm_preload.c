/*
 * Test-only helper, preloaded into Wine (LD_PRELOAD) for the serial tests;
 * never shipped with the program.
 *
 * The tests give Wine a pseudo-terminal as its COM port. A pty has no modem
 * lines, so TIOCMGET on it fails with ENOTTY, and Wine then cancels every
 * WaitCommEvent at once: nothing would ever be received. This wrapper lets
 * the real ioctl() run first and, only when it fails with ENOTTY on a
 * terminal, answers the modem-line requests the way a cabled adapter would:
 * TIOCMGET reports DSR, CTS and CD up (with DTR and RTS, which the open
 * raises), and TIOCMSET/TIOCMBIS/TIOCMBIC are taken as done. Every other
 * call, and every call that the real ioctl() answers, is left untouched.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

static const int kLinesUp = TIOCM_DSR | TIOCM_CTS | TIOCM_CD | TIOCM_DTR | TIOCM_RTS;

int ioctl(int fd, unsigned long request, ...) {
    static ioctl_fn real_ioctl;
    va_list args;
    void *arg;
    int result, saved;

    va_start(args, request);
    arg = va_arg(args, void *);
    va_end(args);

    if (!real_ioctl) {
        real_ioctl = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
        if (!real_ioctl) {
            errno = ENOSYS;
            return -1;
        }
    }
    result = real_ioctl(fd, request, arg);
    if (result != -1 || errno != ENOTTY) return result;

    saved = errno;
    switch (request) {
    case TIOCMGET:
        if (arg != NULL && isatty(fd)) {
            *(int *)arg = kLinesUp;
            errno = saved;
            return 0;
        }
        break;
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
        if (isatty(fd)) {
            errno = saved;
            return 0;
        }
        break;
    default:
        break;
    }
    errno = saved;
    return result;
}
