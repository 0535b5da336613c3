// The wrappers declared in fake_os.h: the system functions of the generator
// core (open, read, fstat, getpid, clock_gettime, madvise), reached through
// the linker's --wrap, and the state that tests arm and read.

#include "fake_os.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {
constexpr size_t pool_size = 4096;  // the core's pool: one refill asks for this much
}

namespace fake_os {

State state;

unsigned char mixed_pattern(uint64_t position) {
    // splitmix64 of the word index: no two words of the stream alike.
    uint64_t z = (position / 8) + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<unsigned char>(z >> (8 * (position % 8)));
}

void disarm() {
    static_cast<Arms &>(state) = Arms{};
}

void clear_log() {
    static_cast<Log &>(state) = Log{};
}

uint64_t pool_word(size_t k) {
    const size_t begin = state.refill_begin + 8 * k;
    if (begin + 8 > state.delivered.size()) {
        std::fprintf(stderr, "pool_word(%zu): only %zu bytes delivered\n", k, state.delivered.size());
        std::abort();
    }
    uint64_t value = 0;
    for (size_t i = 8; i-- > 0;) {
        value = (value << 8) | state.delivered[begin + i];
    }
    return value;
}

}  // namespace fake_os

using fake_os::FakeFile;
using fake_os::ReadStep;
using fake_os::state;

namespace {

// The file type and device number fstat reports for each FakeFile.
struct PretendedFile {
    mode_t mode;
    unsigned int major_number, minor_number;
};

void pretend_file(struct stat *st, FakeFile file) {
    static constexpr PretendedFile files[] = {
        {0, 0, 0},               // none: the real answer stands
        {S_IFREG | 0644, 0, 0},  // regular_file
        {S_IFIFO | 0644, 0, 0},  // fifo
        {S_IFCHR | 0666, 1, 5},  // zero_device
        {S_IFCHR | 0666, 1, 3},  // null_device
        {S_IFBLK | 0666, 1, 9},  // block_device_1_9
        {S_IFCHR | 0666, 1, 8},  // random_device
    };
    if (file == FakeFile::none) {
        return;
    }
    const PretendedFile &pretended = files[static_cast<size_t>(file)];
    st->st_mode = pretended.mode;
    st->st_rdev = makedev(pretended.major_number, pretended.minor_number);
}

}  // namespace

extern "C" {

int __real_open(const char *path, int flags, ...);
ssize_t __real_read(int fd, void *buffer, size_t count);
int __real_fstat(int fd, struct stat *st);
pid_t __real_getpid(void);
int __real_clock_gettime(clockid_t clock, struct timespec *ts);
int __real_madvise(void *address, size_t length, int advice);

int __wrap_open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, unsigned int));
        va_end(args);
    }
    if (path == nullptr || std::strcmp(path, "/dev/urandom") != 0) {
        return __real_open(path, flags, mode);
    }
    ++state.open_calls;
    state.open_flags = flags;
    if (!state.open_errors.empty()) {
        const int error = state.open_errors.front();
        state.open_errors.pop_front();
        errno = error;
        return -1;
    }
    const int fd = __real_open(path, flags, mode);
    if (fd >= 0) {
        state.device_fd = fd;
    }
    return fd;
}

ssize_t __wrap_read(int fd, void *buffer, size_t count) {
    if (fd < 0 || fd != state.device_fd) {
        return __real_read(fd, buffer, count);
    }
    ++state.read_calls;
    if (count == pool_size) {
        state.refill_begin = state.delivered.size();
        state.pool = static_cast<const unsigned char *>(buffer);
    }
    state.reads.push_back({fd, buffer, count, state.delivered.size() - state.refill_begin});
    ReadStep step = ReadStep::deliver(state.read_limit);
    if (!state.read_script.empty()) {
        step = state.read_script.front();
        state.read_script.pop_front();
    }
    switch (step.kind) {
        case ReadStep::Kind::fail:
            errno = step.error;
            return -1;
        case ReadStep::Kind::end_of_file:
            return 0;
        case ReadStep::Kind::deliver:
            break;
    }
    const size_t wanted = std::min(count, step.limit);
    auto *bytes = static_cast<unsigned char *>(buffer);
    ssize_t result;
    if (state.scripted_bytes) {
        for (size_t i = 0; i < wanted; ++i) {
            bytes[i] = state.pattern(state.stream_position++);
        }
        result = static_cast<ssize_t>(wanted);
    } else {
        result = __real_read(fd, buffer, wanted);
    }
    if (result > 0) {
        state.delivered.insert(state.delivered.end(), bytes, bytes + result);
    }
    return result;
}

int __wrap_fstat(int fd, struct stat *st) {
    if (fd >= 0 && fd == state.device_fd) {
        ++state.fstat_calls;
        if (!state.fstat_errors.empty()) {
            errno = state.fstat_errors.front();
            state.fstat_errors.pop_front();
            return -1;
        }
    }
    const int result = __real_fstat(fd, st);
    if (result == 0 && fd >= 0 && fd == state.device_fd) {
        pretend_file(st, state.fake_file);
    }
    return result;
}

pid_t __wrap_getpid(void) {
    ++state.getpid_calls;
    state.last_getpid_at = ++state.sequence;
    return state.fake_pid ? state.pid : __real_getpid();
}

int __wrap_madvise(void *address, size_t length, int advice) {
    if (advice != MADV_WIPEONFORK) {
        const int result = __real_madvise(address, length, advice);
        if (result == 0 && advice == MADV_DONTDUMP) {
            state.dump_page = static_cast<unsigned char *>(address);
            state.dump_length = length;
        }
        return result;
    }
    if (state.wipe_advice_calls++ == 0) {
        const char *failures = std::getenv("FAKE_OS_WIPEONFORK_FAILURES");
        state.wipe_failures_left = failures != nullptr ? std::strtoull(failures, nullptr, 10) : 0;
    }
    const char *refuse = std::getenv("FAKE_OS_REFUSE_WIPEONFORK");
    if (refuse != nullptr && std::strcmp(refuse, "1") == 0) {
        errno = EINVAL;
        return -1;
    }
    if (state.wipe_failures_left > 0) {
        --state.wipe_failures_left;
        errno = ENOMEM;
        return -1;
    }
    const int result = __real_madvise(address, length, advice);
    if (result == 0) {
        state.wipe_page = static_cast<unsigned char *>(address);
        state.wipe_length = length;
    }
    return result;
}

int __wrap_clock_gettime(clockid_t clock, struct timespec *ts) {
    if (clock != CLOCK_REALTIME) {
        return __real_clock_gettime(clock, ts);
    }
    ++state.clock_calls;
    state.last_clock_at = ++state.sequence;
    if (state.clock_error != 0) {
        errno = state.clock_error;
        return -1;
    }
    if (state.fake_clock) {
        *ts = state.clock;
        return 0;
    }
    return __real_clock_gettime(clock, ts);
}

}  // extern "C"
