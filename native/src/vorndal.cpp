// The UUIDv7 generator core.
//
// One generator per process: the timestamp and counter of the last monotonic
// identifier, and a pool of random bytes read from the kernel's random
// device.  The pool and an ownership marker live in pages of their own (zero
// filled, private and anonymous: the module's .bss) advised MADV_WIPEONFORK
// and MADV_DONTDUMP: every child (fork, or clone without a shared address
// space) gets those pages filled with zeros, so the next generation there
// finds no owner and an empty pool and starts afresh, whatever process id the
// child has; and no core file holds the pool.
//
// Where the kernel refuses the wipe (before Linux 4.14, some sandboxes and
// seccomp profiles), the same pages are ordinary memory and ownership is the
// process id together with a pthread_atfork child handler that clears the
// marker and the pool: every fork made through the C library starts afresh,
// and a raw clone is told by its process id.  MADV_DONTDUMP is asked for on
// its own (kernels have had it since 3.4), so core files leave the pool out
// on that path too.  Advice that fails for another reason (ENOMEM when the
// kernel is short of memory for a moment) is tried again at a later process
// check, a bounded number of times.  Nothing here knows the interpreter.
//
// Every function reports through an integer status and writes its outputs
// only on success; the state is committed only once every random draw of a
// call has succeeded.

#include "vorndal.h"

#include "uuid7_layout.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr uint64_t counter_mask = 0x3FFFFFFFFFFull;  // 2**42 - 1
constexpr size_t pool_size = 4096;
constexpr size_t draw_size = sizeof(uint64_t);
constexpr uint64_t version_bits = 0x7000;
constexpr uint64_t variant_bits = 0x8000000000000000ull;

static_assert(pool_size % draw_size == 0, "the pool holds whole draws");

// ---------------------------------------------------------------------------
// Process-wide state.  All of it is plain data, serialised by the caller.
// ---------------------------------------------------------------------------

// The marker's values.
constexpr unsigned char not_owned = 0;     // a new process, or never used
constexpr unsigned char owned_wiping = 1;  // owned, and the kernel wipes the page in a child
constexpr unsigned char owned_by_pid = 2;  // owned while the process id is process_id

// What a child must never inherit: the pool and who owns it, in whole pages
// of their own, so that advice given to them reaches nothing else.  The
// largest page of the target: x86-64 pages are 4 KiB, arm64 kernels use 4, 16
// or 64 KiB.  An alignment above the linker's page size would put the .bss in
// a load segment of its own, whose code valgrind's tools then cannot name.
#if defined(__x86_64__)
constexpr size_t max_page_size = 4096;
#else
constexpr size_t max_page_size = 65536;
#endif
struct alignas(max_page_size) OwnedState {
    unsigned char pool[pool_size];
    unsigned char owner;
};
static_assert(sizeof(OwnedState) % max_page_size == 0, "whole pages");

uint64_t last_ms = 0;
uint64_t counter = 0;
uint64_t process_id = 0;  // the owner's process id, on the fallback path
int initialized = 0;
size_t entropy_offset = pool_size;  // above pool_size - draw_size: used up
int urandom_fd = -1;

// Identity of the open device, so that a descriptor number that the program
// closed (and perhaps reused for another file) is never read as randomness.
dev_t urandom_dev = 0;
ino_t urandom_ino = 0;

// Zero-initialised, so in the .bss, whose whole pages the loader maps
// private and anonymous: advisable.  Fixed addresses keep the common path
// free of a pointer to follow.
OwnedState owned = {};
bool wiped_on_fork = false;      // the kernel took the advice
bool left_out_of_dumps = false;  // the kernel took MADV_DONTDUMP

// Advising the pages: bounded retries after failures the kernel may not
// repeat, none after it refused the advice.
constexpr unsigned max_advice_attempts = 16;
unsigned advice_attempts = 0;
uint64_t checks_before_retry = 0;  // fallback checks to let pass before the next attempt
bool fork_handler_registered = false;

// ---------------------------------------------------------------------------
// Process identity and resets.
// ---------------------------------------------------------------------------

uint64_t current_process_id() {
    return static_cast<uint64_t>(static_cast<int64_t>(getpid()));
}

enum class Advice { taken, refused, failed };

// The result is the wipe's: leaving the pages out of core files is asked for
// first and on its own, at every attempt until the kernel takes it.
Advice advise_owned_pages() {
    if (!left_out_of_dumps) {
        left_out_of_dumps = madvise(&owned, sizeof owned, MADV_DONTDUMP) == 0;
    }
    if (madvise(&owned, sizeof owned, MADV_WIPEONFORK) < 0) {
        // EINVAL: the kernel does not know the advice, or the pages are not
        // anonymous; ENOMEM or EAGAIN may pass.
        return errno == EINVAL ? Advice::refused : Advice::failed;
    }
    return Advice::taken;
}

// One attempt at the advice when one is due; true once it is taken.
bool try_advice() {
    if (advice_attempts >= max_advice_attempts) {
        return false;
    }
    if (checks_before_retry > 0) {
        --checks_before_retry;
        return false;
    }
    ++advice_attempts;
    switch (advise_owned_pages()) {
        case Advice::taken:
            return true;
        case Advice::refused:
            advice_attempts = max_advice_attempts;
            return false;
        case Advice::failed:
            checks_before_retry = (uint64_t{1} << advice_attempts) - 1;
            return false;
    }
    return false;
}

void reset_process_state() {
    last_ms = 0;
    counter = 0;
    initialized = 0;
    entropy_offset = pool_size;
    std::memset(owned.pool, 0, pool_size);
}

// Runs in the child of every fork made through the C library: the child
// holds none of its parent's pool, not even in a core file it dumps before
// it makes an identifier.
void disown_after_fork() {
    reset_process_state();
    owned.owner = not_owned;
}

}  // namespace

#if defined(__GLIBC__)
// What pthread_atfork does in glibc, called directly: glibc 2.17, the
// wheels' floor, has pthread_atfork only in libpthread, which the module
// does not otherwise need.
extern "C" int __register_atfork(void (*prepare)(void), void (*parent)(void), void (*child)(void),
                                 void *dso_handle);
extern "C" void *__dso_handle __attribute__((weak, visibility("hidden")));
#endif

namespace {

[[nodiscard]] int register_fork_handler() {
#if defined(__GLIBC__)
    return __register_atfork(nullptr, nullptr, disown_after_fork,
                             &__dso_handle == nullptr ? nullptr : __dso_handle);
#else
    return pthread_atfork(nullptr, nullptr, disown_after_fork);
#endif
}

// The process check beyond the common case: a new process, the first check,
// or the fallback path.
[[gnu::noinline]] void check_process_slowly() {
    if (wiped_on_fork) {
        reset_process_state();  // the kernel wiped the pages: a new process
        owned.owner = owned_wiping;
        return;
    }
    const uint64_t current_id = current_process_id();
    const bool new_process = owned.owner == not_owned || current_id != process_id;
    if (new_process) {
        reset_process_state();
        process_id = current_id;
    }
    if (try_advice()) {
        wiped_on_fork = true;
        owned.owner = owned_wiping;
        return;
    }
    if (!fork_handler_registered) {
        fork_handler_registered = register_fork_handler() == 0;
    }
    owned.owner = owned_by_pid;
}

// Inlined into every generating function: the common case is one load and
// one test.
[[gnu::always_inline]] inline void ensure_current_process() {
    if (owned.owner != owned_wiping) [[unlikely]] {
        check_process_slowly();
    }
}

// ---------------------------------------------------------------------------
// Entropy pool.
// ---------------------------------------------------------------------------

// The kernel's random devices: 1,9 is /dev/urandom and 1,8 /dev/random.
bool is_random_device(const struct stat &st) {
    return S_ISCHR(st.st_mode) && major(st.st_rdev) == 1 &&
           (minor(st.st_rdev) == 9 || minor(st.st_rdev) == 8);
}

// Closes a descriptor the core will not use, keeping the errno that explains why.
void discard_descriptor(int fd, int error) {
    close(fd);
    errno = error;
}

// True while urandom_fd still refers to the device it was opened on.
bool urandom_fd_is_device() {
    struct stat st;
    if (fstat(urandom_fd, &st) < 0) {
        return false;
    }
    return st.st_dev == urandom_dev && st.st_ino == urandom_ino;
}

// Opens the device and makes sure it is the kernel's random device: a FIFO
// there would block the open or the reads for ever, and /dev/zero or a file
// would hand out the same "random" bytes to every process.  O_NONBLOCK keeps
// both the open and the reads from ever waiting.  0, or -1 with errno set and
// nothing left open.
[[nodiscard]] int open_urandom() {
    int fd;
    for (;;) {
        fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd >= 0) {
            break;
        }
        if (errno != EINTR) {
            urandom_fd = fd;  // negative: the next refill opens again
            return -1;
        }
    }
    struct stat st;
    if (fstat(fd, &st) < 0) {
        // Without its identity the descriptor could be neither checked now
        // nor recognised as ours later.
        discard_descriptor(fd, errno);
        urandom_fd = -1;
        return -1;
    }
    if (!is_random_device(st)) {
        discard_descriptor(fd, ENODEV);
        urandom_fd = -1;
        return -1;
    }
    urandom_fd = fd;
    urandom_dev = st.st_dev;
    urandom_ino = st.st_ino;
    return 0;
}

// 0 with a full pool and entropy_offset 0; -1 with entropy_offset unchanged.
[[nodiscard]] int refill_entropy_pool() {
    if (urandom_fd >= 0 && !urandom_fd_is_device()) {
        // The program closed our descriptor behind our back; the number is
        // no longer ours to close.
        urandom_fd = -1;
    }
    if (urandom_fd < 0 && open_urandom() < 0) {
        return -1;
    }
    size_t filled = 0;
    while (filled < pool_size) {
        const ssize_t result = read(urandom_fd, owned.pool + filled, pool_size - filled);
        if (result > 0) {
            filled += static_cast<size_t>(result);
        } else if (result == 0) {
            errno = EIO;  // end of file: the random device never ends
            return -1;
        } else if (errno != EINTR) {
            return -1;  // EAGAIN included: /dev/random not yet seeded
        }
    }
    entropy_offset = 0;
    return 0;
}

// One 64-bit draw, in native byte order.  0 drawn, -1 failed (*value untouched).
[[nodiscard]] int secure_random_u64(uint64_t *value) {
    if (entropy_offset + draw_size > pool_size && refill_entropy_pool() < 0) {
        return -1;
    }
    std::memcpy(value, owned.pool + entropy_offset, draw_size);
    entropy_offset += draw_size;
    return 0;
}

// ---------------------------------------------------------------------------
// Identifier construction.
// ---------------------------------------------------------------------------

// The timestamp error for a timestamp that does not fit: errno 0 tells it
// from a clock that could not be read.
[[nodiscard]] int timestamp_out_of_range() {
    errno = 0;
    return -2;
}

// 0 with *unix_ts_ms set to the real-time clock in Unix milliseconds, or the
// timestamp error with clock_gettime's errno when the clock cannot be read (a
// seccomp filter may refuse the call).  A clock before 1970 gives a value far
// above 48 bits, which the range test turns into the timestamp error.
[[nodiscard]] int current_time_ms(uint64_t *unix_ts_ms) {
    struct timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) < 0) {
        return -2;
    }
    const int64_t ms = static_cast<int64_t>(ts.tv_sec) * 1000 + static_cast<int64_t>(ts.tv_nsec) / 1000000;
    *unix_ts_ms = static_cast<uint64_t>(ms);
    return 0;
}

[[nodiscard]] int next_counter_start(uint64_t *counter_start) {
    uint64_t random_value;
    if (secure_random_u64(&random_value) < 0) {
        return -1;
    }
    *counter_start = random_value & counter_mask;
    return 0;
}

// One monotonic step at `unix_ts_ms`, the process check already made.
[[nodiscard, gnu::always_inline]] inline int monotonic_step(uint64_t *high, uint64_t *low,
                                                            uint64_t unix_ts_ms) {
    if (unix_ts_ms > max_timestamp_ms) {
        return timestamp_out_of_range();
    }

    uint64_t timestamp_ms;
    uint64_t next_counter;
    if (initialized && last_ms >= unix_ts_ms) {
        // Same millisecond, or the clock went back: count on from the last one.
        next_counter = (counter + 1) & counter_mask;
        if (next_counter != 0) {
            timestamp_ms = last_ms;
        } else {
            if (last_ms == max_timestamp_ms) {
                return timestamp_out_of_range();
            }
            timestamp_ms = last_ms + 1;
            if (next_counter_start(&next_counter) < 0) {
                return -1;
            }
        }
    } else {
        timestamp_ms = unix_ts_ms;
        if (next_counter_start(&next_counter) < 0) {
            return -1;
        }
    }

    uint64_t random_value;
    if (secure_random_u64(&random_value) < 0) {
        return -1;
    }
    const auto random_tail = static_cast<uint32_t>(random_value);

    last_ms = timestamp_ms;
    counter = next_counter;
    initialized = 1;

    const auto rand_a = static_cast<uint16_t>((next_counter >> 30) & 0xFFF);
    const uint64_t rand_b = ((next_counter & 0x3FFFFFFF) << 32) | random_tail;
    *high = (timestamp_ms << 16) | version_bits | rand_a;
    *low = variant_bits | rand_b;
    return 0;
}

[[nodiscard]] int generate_uuid7_words_for_timestamp(uint64_t *high, uint64_t *low, uint64_t unix_ts_ms) {
    ensure_current_process();  // a new-process reset stands even if this call fails
    return monotonic_step(high, low, unix_ts_ms);
}

// The clock-driven step: the process check comes before the clock read, which
// is cheaper where the check is a getpid() call.  Nothing is drawn or
// committed when the clock cannot be read.
[[nodiscard, gnu::always_inline]] inline int generate_uuid7_words_now(uint64_t *high, uint64_t *low) {
    ensure_current_process();
    uint64_t unix_ts_ms;
    if (current_time_ms(&unix_ts_ms) < 0) {
        return -2;
    }
    return monotonic_step(high, low, unix_ts_ms);
}

}  // namespace

// ---------------------------------------------------------------------------
// The exported interface.
// ---------------------------------------------------------------------------

extern "C" {

int generate_uuid7_words(uint64_t *high, uint64_t *low) {
    return generate_uuid7_words_now(high, low);
}

int generate_uuid7_bytes(unsigned char *uuid) {
    uint64_t high;
    uint64_t low;
    const int status = generate_uuid7_words_now(&high, &low);
    if (status < 0) {
        return status;
    }
    write_uuid7_words(uuid, high, low);
    return 0;
}

int generate_uuid7_bytes_for_timestamp(unsigned char *uuid, uint64_t unix_ts_ms) {
    uint64_t high;
    uint64_t low;
    const int status = generate_uuid7_words_for_timestamp(&high, &low, unix_ts_ms);
    if (status < 0) {
        return status;
    }
    write_uuid7_words(uuid, high, low);
    return 0;
}

int generate_uuid7_at_words(uint64_t *high, uint64_t *low, uint64_t unix_ts_ms) {
    if (unix_ts_ms > max_timestamp_ms) {
        return timestamp_out_of_range();  // before the process check: a rejected call changes nothing
    }
    ensure_current_process();
    uint64_t random_high;
    uint64_t random_low;
    if (secure_random_u64(&random_high) < 0 || secure_random_u64(&random_low) < 0) {
        return -1;
    }
    *high = (unix_ts_ms << 16) | version_bits | (random_high & 0xFFF);
    *low = variant_bits | (random_low & 0x3FFFFFFFFFFFFFFFull);
    return 0;
}

int generate_uuid7_at_bytes(unsigned char *uuid, uint64_t unix_ts_ms) {
    uint64_t high;
    uint64_t low;
    const int status = generate_uuid7_at_words(&high, &low, unix_ts_ms);
    if (status < 0) {
        return status;
    }
    write_uuid7_words(uuid, high, low);
    return 0;
}

void reset_uuid7_state(void) {
    ensure_current_process();
    reset_process_state();
}

int set_uuid7_state_for_tests(uint64_t timestamp_ms, uint64_t counter_value) {
    if (timestamp_ms > max_timestamp_ms || counter_value > counter_mask) {
        return -1;
    }
    ensure_current_process();
    last_ms = timestamp_ms;
    counter = counter_value;
    initialized = 1;
    return 0;
}

}  // extern "C"
