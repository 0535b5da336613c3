/* Fault injection for /dev/urandom, loaded with LD_PRELOAD.
 *
 * Interposes open, open64, openat, openat64, read, close and clock_gettime.  Descriptors
 * opened on /dev/urandom are remembered; open of that path and read on those
 * descriptors behave as the current mode says.  Everything else passes
 * straight through to the C library.
 *
 * The mode comes from the environment variable TEMBREL_FAULT_MODE at load
 * time and can be changed at run time with fault_set_mode() (through ctypes):
 *
 *   ok            pass through
 *   open_fail     open fails with errno = arg (default EACCES)
 *   open_eintr    open fails with EINTR arg times, then passes through
 *   read_fail     read fails with errno = arg (default EIO)
 *   eof           read returns 0
 *   short         read delivers at most arg bytes per call
 *   read_eintr    every read fails with EINTR arg times before it passes
 *   partial_fail  the first read of a refill delivers arg bytes, the next
 *                 one fails with EIO
 *   clock_fail    clock_gettime(CLOCK_REALTIME) fails with EPERM, as under a
 *                 seccomp filter that refuses it
 *
 * fault_count() tells how many faults were injected (each failing open or
 * read, each shortened read, each EINTR), fault_opens() how many times
 * /dev/urandom was opened for real, fault_reads() how many reads passed.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

enum fault_mode {
    MODE_OK,
    MODE_OPEN_FAIL,
    MODE_OPEN_EINTR,
    MODE_READ_FAIL,
    MODE_EOF,
    MODE_SHORT,
    MODE_READ_EINTR,
    MODE_PARTIAL_FAIL,
    MODE_CLOCK_FAIL
};

static const char *const mode_names[] = {"ok",    "open_fail",  "open_eintr",   "read_fail", "eof",
                                         "short", "read_eintr", "partial_fail", "clock_fail"};

#define MAX_TRACKED_FD 4096

static unsigned char tracked[MAX_TRACKED_FD];
static int mode = MODE_OK;
static long mode_arg = 0;
static long pending_eintr = 0; /* EINTRs left before the next passing call */
static int partial_step = 0;   /* 0: next read is partial, 1: next read fails */
static long injected = 0;
static long real_opens = 0;
static long real_reads = 0;

typedef int (*open_fn)(const char *, int, ...);
typedef int (*openat_fn)(int, const char *, int, ...);
typedef ssize_t (*read_fn)(int, void *, size_t);
typedef int (*close_fn)(int);

static void *next_symbol(const char *name) {
    return dlsym(RTLD_NEXT, name);
}

int fault_set_mode(const char *name, long arg) {
    for (size_t i = 0; i < sizeof mode_names / sizeof mode_names[0]; ++i) {
        if (strcmp(name, mode_names[i]) == 0) {
            mode = (int)i;
            mode_arg = arg;
            pending_eintr = arg;
            partial_step = 0;
            return 0;
        }
    }
    return -1;
}

long fault_count(void) {
    return injected;
}
long fault_opens(void) {
    return real_opens;
}
long fault_reads(void) {
    return real_reads;
}

__attribute__((constructor)) static void fault_init(void) {
    const char *name = getenv("TEMBREL_FAULT_MODE");
    const char *arg = getenv("TEMBREL_FAULT_ARG");
    if (name != NULL) {
        fault_set_mode(name, arg != NULL ? strtol(arg, NULL, 10) : 0);
    }
}

static int is_urandom(const char *path) {
    return path != NULL && strcmp(path, "/dev/urandom") == 0;
}

/* One injected failure: -1 with errno set to `error`. */
static int inject(int error) {
    ++injected;
    errno = error;
    return -1;
}

/* The argument as an errno, or `fallback` when none was given. */
static int error_arg(int fallback) {
    return mode_arg != 0 ? (int)mode_arg : fallback;
}

/* True when an EINTR is still due before the next passing call. */
static int eintr_due(void) {
    if (pending_eintr <= 0) {
        return 0;
    }
    --pending_eintr;
    return 1;
}

/* -2: pass through; otherwise the result of a refused open. */
static int open_fault(void) {
    if (mode == MODE_OPEN_FAIL) {
        return inject(error_arg(EACCES));
    }
    if (mode == MODE_OPEN_EINTR && eintr_due()) {
        return inject(EINTR);
    }
    return -2;
}

static int track(int fd) {
    if (fd >= 0 && fd < MAX_TRACKED_FD) {
        tracked[fd] = 1;
        ++real_opens;
    }
    return fd;
}

static int do_open(const char *path, int flags, mode_t perm, int at, int dirfd, const char *name) {
    if (is_urandom(path)) {
        const int refused = open_fault();
        if (refused != -2) {
            return refused;
        }
    }
    int fd;
    if (at) {
        fd = ((openat_fn)next_symbol(name))(dirfd, path, flags, perm);
    } else {
        fd = ((open_fn)next_symbol(name))(path, flags, perm);
    }
    if (fd >= 0 && fd < MAX_TRACKED_FD) {
        tracked[fd] = 0;
    }
    return is_urandom(path) ? track(fd) : fd;
}

static mode_t mode_argument(int flags, va_list ap) {
    if (flags & (O_CREAT | O_TMPFILE)) {
        return (mode_t)va_arg(ap, int);
    }
    return 0;
}

/* One interposed open function.  The *at forms pass `at` 1, the directory
 * descriptor as `dirfd` and its declaration as the parameters before the path
 * (the trailing arguments). */
#define INTERPOSE_OPEN(name, at, dirfd, ...)                 \
    int name(__VA_ARGS__ const char *path, int flags, ...) { \
        va_list ap;                                          \
        va_start(ap, flags);                                 \
        const mode_t perm = mode_argument(flags, ap);        \
        va_end(ap);                                          \
        return do_open(path, flags, perm, at, dirfd, #name); \
    }

INTERPOSE_OPEN(open, 0, 0)
INTERPOSE_OPEN(open64, 0, 0)
INTERPOSE_OPEN(openat, 1, dirfd, int dirfd, )
INTERPOSE_OPEN(openat64, 1, dirfd, int dirfd, )

int close(int fd) {
    if (fd >= 0 && fd < MAX_TRACKED_FD) {
        tracked[fd] = 0;
    }
    return ((close_fn)next_symbol("close"))(fd);
}

ssize_t read(int fd, void *buffer, size_t size) {
    const read_fn real_read = (read_fn)next_symbol("read");
    if (fd < 0 || fd >= MAX_TRACKED_FD || !tracked[fd]) {
        return real_read(fd, buffer, size);
    }
    switch (mode) {
        case MODE_READ_FAIL:
            return inject(error_arg(EIO));
        case MODE_EOF:
            ++injected;
            return 0;
        case MODE_SHORT:
            if (mode_arg > 0 && size > (size_t)mode_arg) {
                ++injected;
                size = (size_t)mode_arg;
            }
            break;
        case MODE_READ_EINTR:
            if (eintr_due()) {
                return inject(EINTR);
            }
            pending_eintr = mode_arg;
            break;
        case MODE_PARTIAL_FAIL:
            if (partial_step == 1) {
                partial_step = 0;
                return inject(EIO);
            }
            ++injected;
            partial_step = 1;
            if (mode_arg > 0 && size > (size_t)mode_arg) {
                size = (size_t)mode_arg;
            }
            break;
        default:
            break;
    }
    const ssize_t result = real_read(fd, buffer, size);
    if (result > 0) {
        ++real_reads;
    }
    return result;
}

typedef int (*clock_gettime_fn)(clockid_t, struct timespec *);

int clock_gettime(clockid_t clock, struct timespec *ts) {
    if (mode == MODE_CLOCK_FAIL && clock == CLOCK_REALTIME) {
        return inject(EPERM);
    }
    static clock_gettime_fn real_clock_gettime;
    if (real_clock_gettime == NULL) {
        real_clock_gettime = (clock_gettime_fn)next_symbol("clock_gettime");
    }
    return real_clock_gettime(clock, ts);
}
