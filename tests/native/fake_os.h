// Link-time wrappers around the system calls of the generator core.
//
// The test program is linked with -Wl,--wrap=open,--wrap=read,... so every
// call to those functions lands in fake_os.cpp.  By default each wrapper
// passes straight through to the real function; a test arms them to inject
// faults or known bytes.  Only calls that concern /dev/urandom (its path, or
// the descriptor it was last opened on) are ever altered, so the rest of the
// program is unaffected.
#ifndef TEMBREL_TESTS_FAKE_OS_H
#define TEMBREL_TESTS_FAKE_OS_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <vector>

#include <sys/types.h>

namespace fake_os {

// What one read of the device does.
struct ReadStep {
    enum class Kind { deliver, fail, end_of_file };
    Kind kind;
    size_t limit;  // deliver: at most this many bytes
    int error;     // fail: the errno to set

    static ReadStep deliver(size_t limit) {
        return {Kind::deliver, limit, 0};
    }
    static ReadStep fail(int error) {
        return {Kind::fail, 0, error};
    }
    static ReadStep end_of_file() {
        return {Kind::end_of_file, 0, 0};
    }
};

struct ReadCall {
    int fd;
    const void *buffer;
    size_t count;
    size_t filled;  // bytes this refill had delivered before the call
};

using Pattern = unsigned char (*)(uint64_t position);

// The default byte source: distinct, reproducible 64-bit words.
unsigned char mixed_pattern(uint64_t position);

// What fstat of the device reports instead of the real file type, to stand
// in for something else mounted at /dev/urandom.
enum class FakeFile { none, regular_file, fifo, zero_device, null_device, block_device_1_9, random_device };

// What the next calls do; disarm() puts all of it back to its defaults.
struct Arms {
    std::deque<int> open_errors;       // each device open pops one: -1 with that errno
    std::deque<ReadStep> read_script;  // each device read pops one
    std::deque<int> fstat_errors;      // each fstat of the device pops one: -1 with that errno
    size_t read_limit = SIZE_MAX;      // per read, once the script is used up
    bool scripted_bytes = true;        // deliver `pattern` instead of reading the device
    Pattern pattern = mixed_pattern;
    uint64_t stream_position = 0;  // next position handed to `pattern`
    bool fake_pid = false;
    pid_t pid = 0;
    bool fake_clock = false;
    timespec clock{};
    int clock_error = 0;                  // non-zero: clock_gettime fails with it
    FakeFile fake_file = FakeFile::none;  // what the next fstat of the device reports
};

// What happened; clear_log() forgets all of it.
struct Log {
    int open_flags = 0;
    uint64_t open_calls = 0;   // opens of /dev/urandom, injected failures included
    uint64_t read_calls = 0;   // reads of device_fd, injected ones included
    uint64_t fstat_calls = 0;  // fstat of device_fd
    uint64_t clock_calls = 0;  // clock_gettime(CLOCK_REALTIME)
    uint64_t getpid_calls = 0;
    uint64_t last_getpid_at = 0;  // `sequence` of the last getpid
    uint64_t last_clock_at = 0;   // `sequence` of the last clock_gettime
    std::vector<ReadCall> reads;
    std::vector<unsigned char> delivered;  // every byte a device read handed out
    size_t refill_begin = 0;               // index in `delivered` of the last 4096-byte request
};

struct State : Arms, Log {
    // --- Kept by disarm and clear_log ---------------------------------------
    int device_fd = -1;                   // the descriptor of the last successful device open
    uint64_t sequence = 0;                // every wrapped call counts one
    const unsigned char *pool = nullptr;  // buffer of the last 4096-byte request: the core's pool

    // The ownership pages.  The environment variable
    // FAKE_OS_REFUSE_WIPEONFORK=1 makes madvise refuse MADV_WIPEONFORK with
    // EINVAL, as a kernel before 4.14 does; FAKE_OS_WIPEONFORK_FAILURES=n
    // makes it fail n times with ENOMEM, as when the kernel is short of
    // memory for a moment.
    unsigned char *wipe_page = nullptr;  // the pages advised MADV_WIPEONFORK
    size_t wipe_length = 0;
    uint64_t wipe_advice_calls = 0;  // failed ones included
    uint64_t wipe_failures_left = 0;
    const unsigned char *dump_page = nullptr;  // the pages advised MADV_DONTDUMP
    size_t dump_length = 0;
};

extern State state;

void disarm();     // every wrapper back to pass-through; scripted bytes on
void clear_log();  // forget what happened

// True when the core's ownership marker lives in a page the kernel wipes on
// fork; false when it fell back to comparing process ids.
inline bool wipe_on_fork() {
    return state.wipe_page != nullptr;
}

// Draw k (from 0) of the last refill: its bytes k*8 .. k*8+7 as delivered,
// read least significant byte first.
uint64_t pool_word(size_t k);

}  // namespace fake_os

#endif  // TEMBREL_TESTS_FAKE_OS_H
