/* The floor under every clock-driven identifier: one getpid() and one
 * clock_gettime(CLOCK_REALTIME) per identifier, which the generator pays for
 * fork detection and the timestamp.  Prints one line per measurement, its
 * name, a tab and the ns per iteration of every repeat, in the order taken:
 *
 *   NAME<TAB>ns ns ns ...
 *
 * (NAME may contain spaces; the benchmark harness takes min and median.)
 *
 * usage: floor [ITERATIONS [REPEATS]]
 */
#define _POSIX_C_SOURCE 200809L
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static volatile uint64_t sink;

static double now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e9 + (double)ts.tv_nsec;
}

static void loop_both(long n) {
    uint64_t acc = 0;
    for (long i = 0; i < n; ++i) {
        struct timespec ts;
        acc += (uint64_t)getpid();
        clock_gettime(CLOCK_REALTIME, &ts);
        acc += (uint64_t)ts.tv_nsec;
    }
    sink = acc;
}

static void loop_getpid(long n) {
    uint64_t acc = 0;
    for (long i = 0; i < n; ++i) {
        acc += (uint64_t)getpid();
    }
    sink = acc;
}

static void loop_clock(long n) {
    uint64_t acc = 0;
    for (long i = 0; i < n; ++i) {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        acc += (uint64_t)ts.tv_nsec;
    }
    sink = acc;
}

/* One 8-byte draw from /dev/urandom, read 4096 bytes at a time as the
 * generator's pool does: the kernel's cost of the randomness in one draw. */
static int urandom_fd = -1;

static void loop_urandom_draw(long n) {
    static unsigned char pool[4096];
    uint64_t acc = 0;
    for (long i = 0; i < n; i += 512) {
        size_t filled = 0;
        while (filled < sizeof pool) {
            const ssize_t got = read(urandom_fd, pool + filled, sizeof pool - filled);
            if (got <= 0) {
                perror("read /dev/urandom");
                exit(1);
            }
            filled += (size_t)got;
        }
        acc += pool[i % 4096];
    }
    sink = acc;
}

static void measure(const char *name, void (*loop)(long), long n, int repeats) {
    double samples[64];
    if (repeats > 64) {
        repeats = 64;
    }
    loop(n / 10 + 1); /* warm-up */
    for (int r = 0; r < repeats; ++r) {
        const double start = now_ns();
        loop(n);
        samples[r] = (now_ns() - start) / (double)n;
    }
    printf("%s\t", name);
    for (int r = 0; r < repeats; ++r) {
        printf(r ? " %.2f" : "%.2f", samples[r]);
    }
    printf("\n");
}

int main(int argc, char **argv) {
    const long n = argc > 1 ? atol(argv[1]) : 2000000;
    const int repeats = argc > 2 ? atoi(argv[2]) : 7;
    if (n <= 0 || repeats <= 0) {
        fprintf(stderr, "usage: floor [ITERATIONS [REPEATS]]\n");
        return 2;
    }
    measure("getpid+clock_gettime", loop_both, n, repeats);
    measure("getpid", loop_getpid, n, repeats);
    measure("clock_gettime", loop_clock, n, repeats);
    urandom_fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (urandom_fd < 0) {
        perror("open /dev/urandom");
        return 1;
    }
    measure("urandom draw (8 bytes of a 4096-byte read)", loop_urandom_draw, n, repeats);
    return 0;
}
