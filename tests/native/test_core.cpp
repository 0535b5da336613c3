// The generator core, with its system calls wrapped at link time (fake_os).
//
// The core's state is process-wide; every test starts from a reset state with
// the device already open, an empty pool and all wrappers passing through,
// except that device reads deliver a known byte stream unless a test asks for
// the real device.

#include "vorndal.h"

#include "fake_os.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using fake_os::pool_word;
using fake_os::ReadStep;

fake_os::State &os = fake_os::state;

constexpr uint64_t max_ms = (uint64_t{1} << 48) - 1;
constexpr uint64_t counter_max = (uint64_t{1} << 42) - 1;
constexpr uint64_t T = 1'700'000'000'123;  // some millisecond in 2023
constexpr unsigned char untouched = 0xA5;

using Bytes = std::array<unsigned char, 16>;

uint64_t be64(const unsigned char *p) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        value = (value << 8) | p[i];
    }
    return value;
}

void put_be(unsigned char *p, int width, uint64_t value) {
    for (int i = width - 1; i >= 0; --i) {
        p[i] = static_cast<unsigned char>(value);
        value >>= 8;
    }
}

// One result of a core call, always seen as the 16-byte form.
struct Id {
    int status;
    Bytes bytes;

    uint64_t high() const {
        return be64(bytes.data());
    }
    uint64_t low() const {
        return be64(bytes.data() + 8);
    }
    uint64_t ms() const {
        return high() >> 16;
    }
    uint64_t counter() const {
        return ((high() & 0xFFF) << 30) | ((low() >> 32) & 0x3FFFFFFF);
    }
    uint32_t tail() const {
        return static_cast<uint32_t>(low());
    }
    bool is_untouched() const {
        for (unsigned char b : bytes) {
            if (b != untouched)
                return false;
        }
        return true;
    }
};

Bytes blank() {
    Bytes b;
    b.fill(untouched);
    return b;
}

// A core call that writes the 16-byte form, its buffer blank beforehand.
template <class Call>
Id bytes_call(Call call) {
    Id id{0, blank()};
    id.status = call(id.bytes.data());
    return id;
}

// A core call that writes the two words; words it leaves untouched read back
// as blank bytes.
template <class Call>
Id words_call(Call call) {
    constexpr uint64_t sentinel = 0xA5A5A5A5A5A5A5A5ull;
    uint64_t high = sentinel;
    uint64_t low = sentinel;
    Id id{call(&high, &low), blank()};
    if (id.status == 0 || high != sentinel || low != sentinel) {
        put_be(id.bytes.data(), 8, high);
        put_be(id.bytes.data() + 8, 8, low);
    }
    return id;
}

Id mono(uint64_t ms) {
    return bytes_call([ms](unsigned char *uuid) { return generate_uuid7_bytes_for_timestamp(uuid, ms); });
}

Id clocked() {
    return bytes_call(generate_uuid7_bytes);
}

Id clocked_words() {
    return words_call(generate_uuid7_words);
}

Id independent(uint64_t ms) {
    return bytes_call([ms](unsigned char *uuid) { return generate_uuid7_at_bytes(uuid, ms); });
}

Id independent_words(uint64_t ms) {
    return words_call([ms](uint64_t *high, uint64_t *low) { return generate_uuid7_at_words(high, low, ms); });
}

// The expected 16-byte forms, built field by field from the byte layout.
Bytes mono_bytes(uint64_t ms, uint64_t counter, uint64_t draw) {
    Bytes b{};
    put_be(b.data(), 6, ms);
    b[6] = static_cast<unsigned char>(0x70 | (counter >> 38));
    b[7] = static_cast<unsigned char>(counter >> 30);
    b[8] = static_cast<unsigned char>(0x80 | ((counter >> 24) & 0x3F));
    put_be(b.data() + 9, 3, counter & 0xFFFFFF);
    put_be(b.data() + 12, 4, draw & 0xFFFFFFFF);
    return b;
}

Bytes independent_bytes(uint64_t ms, uint64_t random_high, uint64_t random_low) {
    Bytes b{};
    put_be(b.data(), 6, ms);
    b[6] = static_cast<unsigned char>(0x70 | ((random_high >> 8) & 0xF));
    b[7] = static_cast<unsigned char>(random_high);
    b[8] = static_cast<unsigned char>(0x80 | ((random_low >> 56) & 0x3F));
    put_be(b.data() + 9, 7, random_low & 0xFFFFFFFFFFFFFF);
    return b;
}

// Parametrized cases print as their `name` member.
template <class Case>
    requires requires(const Case &c) { c.name; }
void PrintTo(const Case &c, std::ostream *out) {
    *out << c.name;
}

// Names parametrized cases after their `name` member.
struct ByName {
    template <class Case>
    std::string operator()(const ::testing::TestParamInfo<Case> &param_info) const {
        return param_info.param.name;
    }
};

// The expected value is computed after the call, from the bytes the call
// made the device deliver.
#define EXPECT_NEXT(call, expected)        \
    do {                                   \
        const Id got_ = (call);            \
        EXPECT_EQ(got_.status, 0);         \
        EXPECT_EQ(got_.bytes, (expected)); \
    } while (0)

// The call fails with `expected_status`, its output untouched, and errno set
// to `expected_errno` (errno is set to something else first).
#define EXPECT_FAILS(call, expected_status, expected_errno) \
    do {                                                    \
        errno = ENOTTY;                                     \
        const Id failed_ = (call);                          \
        const int errno_ = errno;                           \
        EXPECT_EQ(failed_.status, (expected_status));       \
        EXPECT_EQ(errno_, (expected_errno)) << "errno";     \
        EXPECT_TRUE(failed_.is_untouched());                \
    } while (0)

uint64_t seed(size_t k) {
    return pool_word(k) & counter_max;
}

class Core : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_os::disarm();
        // Open the device now, so that every test starts alike whether it
        // runs alone or after others.
        ASSERT_EQ(independent(0).status, 0);
        ASSERT_GE(os.device_fd, 0);
        reset_uuid7_state();
        fake_os::clear_log();
    }
    void TearDown() override {
        fake_os::disarm();
    }

    // Use up `draws` draws of the pool with identifiers at T after
    // set_uuid7_state_for_tests(T, counter): one draw each.
    static void run_at_T(uint64_t counter, int draws) {
        ASSERT_EQ(set_uuid7_state_for_tests(T, counter), 0);
        for (int i = 0; i < draws; ++i) {
            ASSERT_EQ(mono(T).status, 0);
        }
    }

    // A new process as the core sees it: another process id and, where the
    // ownership page is in use, the page wiped as the kernel does in a child.
    static void pretend_new_process(pid_t offset) {
        os.fake_pid = false;
        os.pid = getpid() + offset;
        os.fake_pid = true;
        if (fake_os::wipe_on_fork()) {
            owner_page.assign(os.wipe_page, os.wipe_page + os.wipe_length);
            std::memset(os.wipe_page, 0, os.wipe_length);
        }
    }

    // Back in the process that was the owner before pretend_new_process: its
    // own process id and its own page, as it left them.
    static void back_in_owner() {
        os.fake_pid = false;
        if (fake_os::wipe_on_fork() && std::all_of(os.wipe_page, os.wipe_page + os.wipe_length,
                                                   [](unsigned char b) { return b == 0; })) {
            std::memcpy(os.wipe_page, owner_page.data(), os.wipe_length);
        }
    }

    static inline std::vector<unsigned char> owner_page;

    static void close_device_behind_the_cores_back() {
        ASSERT_EQ(close(os.device_fd), 0);
    }
};

// The fixture of a test parametrized over `Case`: the case is `c`.
template <class Case>
class CoreWith : public Core, public ::testing::WithParamInterface<Case> {
  protected:
    const Case &c = this->GetParam();
};

// ---------------------------------------------------------------------------
// Entropy pool
// ---------------------------------------------------------------------------

TEST_F(Core, FirstDrawOpensNothingNewAndReadsAWholePool) {
    const Id id = independent(T);
    ASSERT_EQ(id.status, 0);
    EXPECT_EQ(os.open_calls, 0u);
    ASSERT_EQ(os.read_calls, 1u);
    EXPECT_EQ(os.reads[0].count, 4096u);
    EXPECT_EQ(os.delivered.size(), 4096u);
    // Draws are read in native (little-endian) order from bytes 0-7, 8-15.
    EXPECT_EQ(id.bytes, independent_bytes(T, pool_word(0), pool_word(1)));
}

TEST_F(Core, PoolServes512DrawsAndThe513thRefills) {
    ASSERT_EQ(set_uuid7_state_for_tests(T, 1000), 0);
    uint64_t fstat_calls = 0;
    for (uint64_t k = 0; k < 512; ++k) {
        const Id id = mono(T);
        ASSERT_EQ(id.status, 0);
        // Same millisecond: one draw each, the counter up by exactly one.
        ASSERT_EQ(id.bytes, mono_bytes(T, 1001 + k, pool_word(k))) << "draw " << k;
        if (k == 0)
            fstat_calls = os.fstat_calls;
    }
    EXPECT_EQ(os.read_calls, 1u) << "512 draws need one refill";
    EXPECT_EQ(os.fstat_calls, fstat_calls) << "a draw from the pool makes no system call";

    EXPECT_NEXT(mono(T), mono_bytes(T, 1513, pool_word(0)));
    EXPECT_EQ(os.read_calls, 2u);
}

TEST_F(Core, IndependentIdentifiersTakeTwoDrawsEach) {
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(independent(T).status, 0);
    }
    EXPECT_EQ(os.read_calls, 1u);
    EXPECT_NEXT(independent(T), independent_bytes(T, pool_word(0), pool_word(1)));
    EXPECT_EQ(os.read_calls, 2u);
}

struct ReadCase {
    std::string name;
    std::vector<ReadStep> script;
    size_t limit_after;
    size_t expected_reads;
};

using Reads = CoreWith<ReadCase>;

TEST_P(Reads, ShortAndInterruptedReadsFillThePool) {
    os.read_script.assign(c.script.begin(), c.script.end());
    os.read_limit = c.limit_after;

    const Id id = independent(T);
    ASSERT_EQ(id.status, 0);
    EXPECT_EQ(os.read_calls, c.expected_reads);
    EXPECT_EQ(os.delivered.size(), 4096u);
    // Each read asks for exactly the rest of the pool, just past what is in.
    for (size_t i = 0; i < os.reads.size(); ++i) {
        EXPECT_EQ(os.reads[i].buffer, os.pool + os.reads[i].filled) << "read " << i;
        EXPECT_EQ(os.reads[i].count, 4096 - os.reads[i].filled) << "read " << i;
    }
    EXPECT_EQ(std::memcmp(os.pool, os.delivered.data(), 4096), 0);
    EXPECT_EQ(id.bytes, independent_bytes(T, pool_word(0), pool_word(1)));
}

std::vector<ReadCase> read_cases() {
    std::vector<ReadStep> interrupted(1000, ReadStep::fail(EINTR));
    std::vector<ReadStep> mixed = {ReadStep::deliver(1000), ReadStep::fail(EINTR), ReadStep::deliver(3),
                                   ReadStep::fail(EINTR), ReadStep::fail(EINTR)};
    return {
        {"interrupted_1000_times", interrupted, SIZE_MAX, 1001},
        {"one_byte_at_a_time", {}, 1, 4096},
        {"interrupted_after_one_byte", {ReadStep::deliver(1), ReadStep::fail(EINTR)}, SIZE_MAX, 3},
        {"uneven_chunks_and_interrupts", mixed, 1000, 9},  // 1000, 3, then 1000, 1000, 1000, 93
    };
}

INSTANTIATE_TEST_SUITE_P(Core, Reads, ::testing::ValuesIn(read_cases()), ByName{});

struct FailCase {
    std::string name;
    std::vector<ReadStep> script;
    int error;  // errno left by the failing read, EIO for end of file
};

using ReadFailures = CoreWith<FailCase>;

TEST_P(ReadFailures, FailTheDrawAndTheNextRefillStartsOver) {
    os.read_script.assign(c.script.begin(), c.script.end());
    EXPECT_FAILS(independent_words(T), -1, c.error);
    EXPECT_EQ(os.read_calls, c.script.size());

    const int fd = os.device_fd;
    const size_t before = os.reads.size();
    const Id id = independent_words(T);
    ASSERT_EQ(id.status, 0);
    EXPECT_EQ(os.open_calls, 0u) << "the descriptor stays open after a failed read";
    ASSERT_EQ(os.reads.size(), before + 1);
    EXPECT_EQ(os.reads[before].fd, fd);
    EXPECT_EQ(os.reads[before].count, 4096u) << "the refill starts again at byte 0";
    EXPECT_EQ(id.bytes, independent_bytes(T, pool_word(0), pool_word(1)));
}

INSTANTIATE_TEST_SUITE_P(Core, ReadFailures,
                         ::testing::Values(FailCase{"end_of_file", {ReadStep::end_of_file()}, EIO},
                                           FailCase{"end_of_file_after_short_read",
                                                    {ReadStep::deliver(100), ReadStep::end_of_file()},
                                                    EIO},
                                           FailCase{"read_error", {ReadStep::fail(EIO)}, EIO},
                                           FailCase{"error_after_interrupts_and_short_read",
                                                    {ReadStep::fail(EINTR), ReadStep::fail(EINTR),
                                                     ReadStep::deliver(4000), ReadStep::fail(EAGAIN)},
                                                    EAGAIN}),
                         ByName{});

struct OpenCase {
    std::string name;
    int first_status;
    uint64_t first_opens;
    std::vector<int> errors;  // each open pops one
};

using Opens = CoreWith<OpenCase>;

TEST_P(Opens, ClosedDescriptorIsReopenedAndFailedOpensRetried) {
    close_device_behind_the_cores_back();
    os.open_errors.assign(c.errors.begin(), c.errors.end());

    const Id first = independent(T);
    EXPECT_EQ(first.status, c.first_status);
    EXPECT_EQ(os.open_calls, c.first_opens);
    EXPECT_EQ(os.open_flags, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY) << "an open that can never block";
    if (c.first_status != 0) {
        EXPECT_EQ(errno, c.errors.back()) << "errno tells why the device could not be opened";
        EXPECT_TRUE(first.is_untouched());
        EXPECT_EQ(os.read_calls, 0u);
        const Id second = independent(T);
        ASSERT_EQ(second.status, 0);
        EXPECT_EQ(os.open_calls, c.first_opens + 1) << "the next refill opens again";
        EXPECT_EQ(second.bytes, independent_bytes(T, pool_word(0), pool_word(1)));
    } else {
        EXPECT_EQ(first.bytes, independent_bytes(T, pool_word(0), pool_word(1)));
    }
    for (const auto &read : os.reads) {
        EXPECT_EQ(read.fd, os.device_fd);
    }
    // Once open, the device stays open: no more opens for later refills.
    const uint64_t opens = os.open_calls;
    for (int i = 0; i < 600; ++i) {
        ASSERT_EQ(independent(T).status, 0);
    }
    EXPECT_EQ(os.open_calls, opens);
}

INSTANTIATE_TEST_SUITE_P(
    Core, Opens,
    ::testing::Values(OpenCase{"reopened", 0, 1, {}},
                      OpenCase{"interrupted_1000_times", 0, 1001, std::vector<int>(1000, EINTR)},
                      OpenCase{"descriptor_limit", -1, 1, {EMFILE}}, OpenCase{"missing", -1, 1, {ENOENT}},
                      OpenCase{"interrupted_then_failed", -1, 3, {EINTR, EINTR, EACCES}}),
    ByName{});

TEST_F(Core, ReplacedDescriptorIsNeverReadAsRandomness) {
    const int old_fd = os.device_fd;
    char path[] = "/tmp/vorndal-core-test-XXXXXX";
    const int other = mkstemp(path);
    ASSERT_GE(other, 0);
    unlink(path);
    const std::vector<unsigned char> zeros(8192, 0);
    ASSERT_EQ(write(other, zeros.data(), zeros.size()), static_cast<ssize_t>(zeros.size()));
    ASSERT_EQ(lseek(other, 0, SEEK_SET), 0);
    ASSERT_EQ(dup2(other, old_fd), old_fd);
    close(other);
    os.scripted_bytes = false;  // a read of old_fd would now really read the file

    const Id id = independent(T);
    ASSERT_EQ(id.status, 0);
    EXPECT_EQ(os.open_calls, 1u);
    EXPECT_NE(os.device_fd, old_fd);
    EXPECT_EQ(lseek(old_fd, 0, SEEK_CUR), 0) << "the other file was read";
    for (const auto &read : os.reads) {
        EXPECT_EQ(read.fd, os.device_fd);
    }
    EXPECT_EQ(id.bytes, independent_bytes(T, pool_word(0), pool_word(1)));
    close(old_fd);
}

TEST_F(Core, UnidentifiableDescriptorIsClosedAndTheOpenRetried) {
    close_device_behind_the_cores_back();
    // The check of the closed descriptor fails as it would anyway; then the
    // identity check right after the new open fails.
    os.fstat_errors.assign({EBADF, EIO});
    EXPECT_FAILS(independent(T), -1, EIO);
    EXPECT_EQ(os.open_calls, 1u);
    EXPECT_EQ(os.read_calls, 0u);
    EXPECT_EQ(fcntl(os.device_fd, F_GETFD), -1) << "the descriptor was kept open";

    EXPECT_NEXT(independent(T), independent_bytes(T, pool_word(0), pool_word(1)));
    EXPECT_EQ(os.open_calls, 2u);
    for (int i = 0; i < 600; ++i) {
        ASSERT_EQ(independent(T).status, 0);
    }
    EXPECT_EQ(os.open_calls, 2u) << "once identified, the descriptor is kept";
}

struct FileCase {
    std::string name;
    fake_os::FakeFile file;
};

using NotTheDevice = CoreWith<FileCase>;

TEST_P(NotTheDevice, IsClosedAndNeverRead) {
    // Something else mounted at /dev/urandom: a FIFO would block, a file or
    // /dev/zero would give every process the same bytes.
    close_device_behind_the_cores_back();
    os.fake_file = c.file;
    ASSERT_EQ(set_uuid7_state_for_tests(T, 70), 0);
    EXPECT_FAILS(mono(T), -1, ENODEV);
    EXPECT_EQ(os.read_calls, 0u);
    EXPECT_EQ(fcntl(os.device_fd, F_GETFD), -1) << "the refused descriptor was kept open";
    EXPECT_EQ(independent(T).status, -1) << "refused at every open";
    EXPECT_EQ(os.open_calls, 2u);

    os.fake_file = fake_os::FakeFile::none;
    EXPECT_NEXT(mono(T), mono_bytes(T, 71, pool_word(0)));  // nothing was committed
    EXPECT_EQ(os.open_calls, 3u);
}

INSTANTIATE_TEST_SUITE_P(Core, NotTheDevice,
                         ::testing::Values(FileCase{"regular_file", fake_os::FakeFile::regular_file},
                                           FileCase{"fifo", fake_os::FakeFile::fifo},
                                           FileCase{"dev_zero", fake_os::FakeFile::zero_device},
                                           FileCase{"dev_null", fake_os::FakeFile::null_device},
                                           FileCase{"block_device_1_9", fake_os::FakeFile::block_device_1_9}),
                         ByName{});

TEST_F(Core, DevRandomIsAcceptedToo) {
    close_device_behind_the_cores_back();
    os.fake_file = fake_os::FakeFile::random_device;
    EXPECT_NEXT(independent(T), independent_bytes(T, pool_word(0), pool_word(1)));
    EXPECT_EQ(os.open_calls, 1u);
}

// ---------------------------------------------------------------------------
// Monotonic sequence
// ---------------------------------------------------------------------------

TEST_F(Core, ClockDrivenSequence) {
    os.fake_clock = true;
    os.clock = {1'700'000'000, 123'999'999};  // truncated to ...123 ms
    const uint64_t ms = 1'700'000'000'123;

    const Id a = clocked();
    ASSERT_EQ(a.status, 0);
    EXPECT_EQ(a.bytes, mono_bytes(ms, seed(0), pool_word(1)));
    const Id b = clocked_words();
    ASSERT_EQ(b.status, 0);
    EXPECT_EQ(b.bytes, mono_bytes(ms, seed(0) + 1, pool_word(2)));

    os.clock = {1'699'999'990, 0};  // ten seconds back: count on at the last millisecond
    const Id c = clocked();
    ASSERT_EQ(c.status, 0);
    EXPECT_EQ(c.bytes, mono_bytes(ms, seed(0) + 2, pool_word(3)));

    os.clock = {1'700'000'000, 124'000'000};  // the next millisecond: a new seed
    const Id d = clocked_words();
    ASSERT_EQ(d.status, 0);
    EXPECT_EQ(d.bytes, mono_bytes(ms + 1, seed(4), pool_word(5)));
    EXPECT_EQ(os.clock_calls, 4u);
}

TEST_F(Core, EarlierTimestampContinuesAtTheLastOne) {
    ASSERT_EQ(set_uuid7_state_for_tests(T, 77), 0);
    EXPECT_NEXT(mono(T - 5000), mono_bytes(T, 78, pool_word(0)));
    EXPECT_NEXT(mono(0), mono_bytes(T, 79, pool_word(1)));
    EXPECT_NEXT(mono(T), mono_bytes(T, 80, pool_word(2)));
    // A later timestamp draws a new seed, which may be smaller.
    EXPECT_NEXT(mono(T + 1), mono_bytes(T + 1, seed(3), pool_word(4)));
}

TEST_F(Core, CounterWrapMovesToTheNextMillisecondWithAFreshSeed) {
    ASSERT_EQ(set_uuid7_state_for_tests(T, counter_max), 0);
    const Id a = mono(T);
    ASSERT_EQ(a.status, 0);
    EXPECT_EQ(a.bytes, mono_bytes(T + 1, seed(0), pool_word(1)));
    EXPECT_NEXT(mono(T), mono_bytes(T + 1, seed(0) + 1, pool_word(2)));
    EXPECT_NEXT(mono(T + 1), mono_bytes(T + 1, seed(0) + 2, pool_word(3)));
    EXPECT_NEXT(mono(T + 2), mono_bytes(T + 2, seed(4), pool_word(5)));
}

TEST_F(Core, LastMillisecondRunsOut) {
    ASSERT_EQ(set_uuid7_state_for_tests(max_ms, counter_max), 0);
    for (uint64_t ms : {uint64_t{0}, T, max_ms}) {
        EXPECT_FAILS(mono(ms), -2, 0);
    }
    EXPECT_FAILS(clocked(), -2, 0);
    EXPECT_FAILS(clocked_words(), -2, 0);
    EXPECT_EQ(os.read_calls, 0u) << "no random bytes consumed";

    ASSERT_EQ(set_uuid7_state_for_tests(max_ms, counter_max - 1), 0);
    EXPECT_NEXT(mono(T), mono_bytes(max_ms, counter_max, pool_word(0)));
    EXPECT_FAILS(mono(max_ms), -2, 0);
    // The rejected call took nothing from the pool.
    EXPECT_NEXT(independent(5), independent_bytes(5, pool_word(1), pool_word(2)));
}

struct FailedDrawCase {
    std::string name;
    uint64_t counter;  // state set at T
    int draws_before;  // identifiers at T before the failing call
    uint64_t failing_ms;
};

using FailedDraws = CoreWith<FailedDrawCase>;

TEST_P(FailedDraws, CommitNothing) {
    run_at_T(c.counter, c.draws_before);
    os.read_script.push_back(ReadStep::fail(EIO));
    EXPECT_FAILS(mono(c.failing_ms), -1, EIO);
    ASSERT_TRUE(os.read_script.empty()) << "the failing call did not refill";

    // The sequence goes on from the last successful identifier.
    const Id id = mono(T);
    ASSERT_EQ(id.status, 0);
    const uint64_t next = c.counter + static_cast<uint64_t>(c.draws_before) + 1;
    if (next <= counter_max) {
        EXPECT_EQ(id.bytes, mono_bytes(T, next, pool_word(0)));
    } else {
        EXPECT_EQ(id.bytes, mono_bytes(T + 1, seed(0), pool_word(1)));
    }
}

INSTANTIATE_TEST_SUITE_P(Core, FailedDraws,
                         ::testing::Values(FailedDrawCase{"seed_draw_of_new_millisecond", 100, 0, T + 5},
                                           FailedDrawCase{"tail_draw_after_new_seed", 100, 511, T + 5},
                                           FailedDrawCase{"tail_draw_in_same_millisecond", 100, 512, T},
                                           FailedDrawCase{"seed_draw_of_counter_wrap", counter_max, 0, T}),
                         ByName{});

// ---------------------------------------------------------------------------
// Timestamps
// ---------------------------------------------------------------------------

struct TimestampFunction {
    std::string name;
    Id (*call)(uint64_t ms);
    bool monotonic;
};

using Timestamps = CoreWith<TimestampFunction>;

TEST_P(Timestamps, RangeIsZeroTo2Pow48Minus1) {
    for (uint64_t ms : {max_ms + 1, uint64_t{1} << 63, ~uint64_t{0}}) {
        SCOPED_TRACE(ms);
        EXPECT_FAILS(c.call(ms), -2, 0);
    }
    EXPECT_EQ(os.read_calls, 0u);

    const Id zero = c.call(0);
    ASSERT_EQ(zero.status, 0);
    EXPECT_EQ(zero.ms(), 0u);
    EXPECT_EQ(zero.bytes, c.monotonic ? mono_bytes(0, seed(0), pool_word(1))
                                      : independent_bytes(0, pool_word(0), pool_word(1)));
    reset_uuid7_state();
    const Id top = c.call(max_ms);
    ASSERT_EQ(top.status, 0);
    EXPECT_EQ(top.bytes, c.monotonic ? mono_bytes(max_ms, seed(0), pool_word(1))
                                     : independent_bytes(max_ms, pool_word(0), pool_word(1)));
}

TEST_P(Timestamps, ProcessCheckComesFirstOnlyForMonotonic) {
    // A monotonic call resets a foreign state before testing the timestamp;
    // an independent call rejects the timestamp before looking at the process.
    ASSERT_EQ(set_uuid7_state_for_tests(T, 500), 0);
    pretend_new_process(1);
    errno = EBADF;
    EXPECT_EQ(c.call(max_ms + 1).status, -2);
    EXPECT_EQ(errno, 0) << "out of range, not a failed clock";
    back_in_owner();  // the owning process again, if it still owns the state
    const Id id = mono(T);
    ASSERT_EQ(id.status, 0);
    if (c.monotonic) {
        EXPECT_EQ(id.bytes, mono_bytes(T, seed(0), pool_word(1)));
    } else {
        EXPECT_EQ(id.bytes, mono_bytes(T, 501, pool_word(0)));
    }
}

INSTANTIATE_TEST_SUITE_P(Core, Timestamps,
                         ::testing::Values(TimestampFunction{"bytes_for_timestamp", mono, true},
                                           TimestampFunction{"at_bytes", independent, false},
                                           TimestampFunction{"at_words", independent_words, false}),
                         ByName{});

struct ClockCase {
    std::string name;
    timespec clock;
    int status;
    uint64_t ms;
};

using Clock = CoreWith<ClockCase>;

TEST_P(Clock, ReadingIsCheckedAgainst48Bits) {
    os.fake_clock = true;
    os.clock = c.clock;
    for (Id (*call)() : {clocked, clocked_words}) {
        reset_uuid7_state();
        if (c.status == 0) {
            EXPECT_NEXT(call(), mono_bytes(c.ms, seed(0), pool_word(1)));
        } else {
            EXPECT_FAILS(call(), c.status, 0);  // a clock read but out of range leaves no errno
            EXPECT_EQ(os.read_calls, 0u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Core, Clock,
                         ::testing::Values(ClockCase{"one_second_before_1970", {-1, 0}, -2, 0},
                                           ClockCase{"one_ms_before_1970", {-1, 999'999'999}, -2, 0},
                                           ClockCase{"start_of_1970", {0, 999'999}, 0, 0},
                                           ClockCase{
                                               "last_millisecond", {281'474'976'710, 655'999'999}, 0, max_ms},
                                           ClockCase{"past_48_bits", {281'474'976'710, 656'000'000}, -2, 0}),
                         ByName{});

TEST_F(Core, UnreadableClockCommitsNothing) {
    // A seccomp filter may refuse clock_gettime: no timestamp, the timestamp
    // error, no draw, and the state stays where it was.
    ASSERT_EQ(set_uuid7_state_for_tests(T, 300), 0);
    os.fake_clock = true;
    os.clock = {0, 0};  // what an uninitialised reading could look like
    os.clock_error = EPERM;
    for (Id (*call)() : {clocked, clocked_words}) {
        EXPECT_FAILS(call(), -2, EPERM);  // the clock's errno tells why
    }
    EXPECT_EQ(os.read_calls, 0u);
    os.clock_error = 0;
    EXPECT_NEXT(mono(T), mono_bytes(T, 301, pool_word(0)));
}

TEST_F(Core, IndependentIdentifiersLeaveTheSequenceAlone) {
    ASSERT_EQ(set_uuid7_state_for_tests(T, 900), 0);
    size_t k = 0;
    for (uint64_t ms : {T, T, T + 1000, uint64_t{0}, max_ms}) {
        const Id a = independent(ms);
        EXPECT_EQ(a.bytes, independent_bytes(ms, pool_word(k), pool_word(k + 1)));
        const Id b = independent_words(ms);
        EXPECT_EQ(b.bytes, independent_bytes(ms, pool_word(k + 2), pool_word(k + 3)));
        k += 4;
    }
    EXPECT_NEXT(mono(T), mono_bytes(T, 901, pool_word(k)));

    // In a fresh state they do not start a sequence either.
    reset_uuid7_state();
    ASSERT_EQ(independent(T + 100).status, 0);
    EXPECT_NEXT(mono(T), mono_bytes(T, seed(2), pool_word(3)));
}

TEST_F(Core, BitLayoutWithExtremeRandomBytes) {
    struct Extreme {
        fake_os::Pattern pattern;
        uint64_t version_and_rand_a;  // the low 16 bits of `high`
        uint64_t low;
        uint64_t counter;  // of the monotonic identifier
    };
    const Extreme extremes[] = {
        {[](uint64_t) -> unsigned char { return 0xFF; }, 0x7FFF, 0xBFFFFFFFFFFFFFFFull, counter_max},
        {[](uint64_t) -> unsigned char { return 0x00; }, 0x7000, 0x8000000000000000ull, 0},
    };
    for (const Extreme &extreme : extremes) {
        os.pattern = extreme.pattern;
        for (Id (*call)(uint64_t) : {mono, independent, independent_words}) {
            reset_uuid7_state();
            const Id id = call(T);
            ASSERT_EQ(id.status, 0);
            EXPECT_EQ(id.high(), (T << 16) | extreme.version_and_rand_a);
            EXPECT_EQ(id.low(), extreme.low);
            if (call == mono) {
                EXPECT_EQ(id.counter(), extreme.counter);
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Test hook and process changes
// ---------------------------------------------------------------------------

struct BadState {
    std::string name;
    uint64_t ms;
    uint64_t counter;
};

using SetStateRange = CoreWith<BadState>;

TEST_P(SetStateRange, RejectsWithoutChangingOrCheckingTheProcess) {
    ASSERT_EQ(set_uuid7_state_for_tests(T, 40), 0);
    pretend_new_process(1);
    EXPECT_EQ(set_uuid7_state_for_tests(c.ms, c.counter), -1);
    back_in_owner();
    EXPECT_NEXT(mono(T), mono_bytes(T, 41, pool_word(0)));
}

INSTANTIATE_TEST_SUITE_P(Core, SetStateRange,
                         ::testing::Values(BadState{"timestamp_2_pow_48", max_ms + 1, 0},
                                           BadState{"counter_2_pow_42", 0, counter_max + 1},
                                           BadState{"both", max_ms + 1, counter_max + 1},
                                           BadState{"timestamp_all_ones", ~uint64_t{0}, 5},
                                           BadState{"counter_all_ones", 5, ~uint64_t{0}}),
                         ByName{});

TEST_F(Core, SetStateAcceptsBothMaxima) {
    EXPECT_EQ(set_uuid7_state_for_tests(max_ms, counter_max), 0);
    EXPECT_EQ(mono(T).status, -2);  // proves the state took effect
    EXPECT_EQ(set_uuid7_state_for_tests(0, 0), 0);
    EXPECT_NEXT(mono(0), mono_bytes(0, 1, pool_word(0)));
}

bool all_zero(const unsigned char *pool) {
    for (size_t i = 0; i < 4096; ++i) {
        if (pool[i] != 0)
            return false;
    }
    return true;
}

TEST_F(Core, NewProcessStartsAfreshAndKeepsTheDescriptor) {
    ASSERT_EQ(mono(T).status, 0);
    const Id parent = mono(T);
    ASSERT_EQ(parent.status, 0);
    const unsigned char *pool = os.pool;
    ASSERT_FALSE(all_zero(pool));

    pretend_new_process(1);
    const Id child = mono(T);
    ASSERT_EQ(child.status, 0);
    EXPECT_EQ(os.read_calls, 2u) << "the new process refills although the pool had bytes";
    EXPECT_EQ(child.bytes, mono_bytes(T, seed(0), pool_word(1)));
    EXPECT_NE(child.counter(), parent.counter() + 1);

    // A reset empties and zero-fills the pool, also when the call then fails.
    pretend_new_process(2);
    EXPECT_EQ(mono(max_ms + 1).status, -2);
    EXPECT_TRUE(all_zero(pool));
    ASSERT_EQ(mono(T).status, 0);
    reset_uuid7_state();
    EXPECT_TRUE(all_zero(pool));

    // set_uuid7_state_for_tests in a new process empties the pool first.
    ASSERT_EQ(mono(T).status, 0);
    pretend_new_process(3);
    ASSERT_EQ(set_uuid7_state_for_tests(T + 9, 3), 0);
    EXPECT_TRUE(all_zero(pool));
    const uint64_t reads = os.read_calls;
    EXPECT_NEXT(mono(T), mono_bytes(T + 9, 4, pool_word(0)));
    EXPECT_EQ(os.read_calls, reads + 1);

    EXPECT_EQ(os.open_calls, 0u) << "resets and new processes keep the descriptor";
    for (const auto &read : os.reads) {
        EXPECT_EQ(read.fd, os.device_fd);
    }
}

TEST_F(Core, IndependentIdentifierInANewProcessReadsFreshBytes) {
    ASSERT_EQ(set_uuid7_state_for_tests(T, 60), 0);
    ASSERT_EQ(mono(T).status, 0);
    pretend_new_process(1);
    EXPECT_NEXT(independent(T), independent_bytes(T, pool_word(0), pool_word(1)));
    EXPECT_EQ(os.read_calls, 2u);
    // It reset the sequence too: the next monotonic identifier starts afresh.
    EXPECT_NEXT(mono(T), mono_bytes(T, seed(2), pool_word(3)));
}

// What a forked child saw of its first monotonic identifier at T.
struct ChildReport {
    bool inherited_pool;  // the parent's pool bytes were there as the child began
    Id id;
    uint64_t open_calls;
    uint64_t read_calls;
    size_t delivered;
    uint64_t first_draws[2];  // native order, as the core reads them
};

// Forks; the child, with `prepare` run and the log cleared, makes one
// identifier at T and reports it through a pipe.  The parent checks that the
// child exited with status 0 after sending its whole report.
template <class Prepare>
void report_from_child(ChildReport *report, Prepare prepare) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(pipe_fds[0]);
        const bool inherited_pool =
            std::any_of(os.pool, os.pool + 4096, [](unsigned char b) { return b != 0; });
        prepare();
        fake_os::clear_log();
        ChildReport mine{inherited_pool, mono(T), 0, 0, 0, {}};
        mine.open_calls = os.open_calls;
        mine.read_calls = os.read_calls;
        mine.delivered = os.delivered.size();
        if (mine.delivered >= 16) {
            std::memcpy(mine.first_draws, os.delivered.data() + os.refill_begin, 16);
        }
        const bool sent = write(pipe_fds[1], &mine, sizeof mine) == static_cast<ssize_t>(sizeof mine);
        _exit(sent ? 0 : 1);
    }
    close(pipe_fds[1]);
    size_t got = 0;
    while (got < sizeof *report) {
        const ssize_t n = read(pipe_fds[0], reinterpret_cast<char *>(report) + got, sizeof *report - got);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(pipe_fds[0]);
    int wait_status = 0;
    ASSERT_EQ(waitpid(pid, &wait_status, 0), pid);
    ASSERT_TRUE(WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0);
    ASSERT_EQ(got, sizeof *report);
}

using Fork = CoreWith<bool>;

TEST_P(Fork, ChildStartsAfreshWithoutTheParentsPool) {
    os.scripted_bytes = c;
    ASSERT_EQ(mono(T).status, 0);
    const Id before = mono(T);
    ASSERT_EQ(before.status, 0);

    ChildReport child{};
    ASSERT_NO_FATAL_FAILURE(report_from_child(&child, [] {}));
    EXPECT_FALSE(child.inherited_pool) << "a core file of the child would hold the parent's pool";
    ASSERT_EQ(child.id.status, 0);
    EXPECT_EQ(child.open_calls, 0u) << "the child goes on with the inherited descriptor";
    EXPECT_EQ(child.read_calls, 1u);
    EXPECT_EQ(child.delivered, 4096u);
    // The child's identifier comes from its own fresh read: a new counter
    // seed and tail, at the timestamp it was given.
    EXPECT_EQ(child.id.bytes, mono_bytes(T, child.first_draws[0] & counter_max, child.first_draws[1]));
    EXPECT_NE(child.id.counter(), before.counter() + 1);

    // The parent goes on with its own sequence and its own pool.
    EXPECT_NEXT(mono(T), mono_bytes(T, before.counter() + 1, pool_word(3)));
    EXPECT_EQ(os.read_calls, 1u);
}

INSTANTIATE_TEST_SUITE_P(Core, Fork, ::testing::Values(true, false), [](const auto &param_info) {
    return param_info.param ? "scripted_bytes" : "real_device";
});

// ---------------------------------------------------------------------------
// Ownership: a page the kernel wipes in every child, or the process id
// ---------------------------------------------------------------------------

bool env_is(const char *name, const char *value) {
    const char *set = std::getenv(name);
    return set != nullptr && std::strcmp(set, value) == 0;
}

// Also run where the advice fails once (FAKE_OS_WIPEONFORK_FAILURES=1, a
// moment of ENOMEM in the first process check: it is tried again) and where
// it always fails: either way no more than a bounded number of attempts.
TEST_F(Core, OwnershipCostsNoSystemCallPerIdentifier) {
    const bool refused = env_is("FAKE_OS_REFUSE_WIPEONFORK", "1");
    const bool advice_fails = os.wipe_failures_left > 0;
    os.fake_clock = true;
    os.clock = {1'700'000'000, 0};
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(clocked().status, 0);
        ASSERT_EQ(clocked_words().status, 0);
    }
    EXPECT_EQ(os.clock_calls, 2000u);
    EXPECT_EQ(fake_os::wipe_on_fork(), !refused && !advice_fails) << "a passing failure was taken for good";
    if (fake_os::wipe_on_fork()) {
        // None, or the one of the check that took the advice on a retry.
        EXPECT_EQ(os.getpid_calls, os.wipe_advice_calls > 1 ? 1u : 0u);
    } else {
        // The fallback: one getpid per identifier, made before the clock read.
        EXPECT_EQ(os.getpid_calls, 2000u);
        EXPECT_LT(os.last_getpid_at, os.last_clock_at);
    }
    EXPECT_LE(os.wipe_advice_calls, 16u) << "the advice is retried a bounded number of times";
    if (refused || std::getenv("FAKE_OS_WIPEONFORK_FAILURES") == nullptr) {
        EXPECT_EQ(os.wipe_advice_calls, 1u) << "asked once: taken, or refused for good";
    }
}

TEST_F(Core, ThePageIsAdvisedOrTheProcessIdDecides) {
    EXPECT_EQ(fake_os::wipe_on_fork(), !env_is("FAKE_OS_REFUSE_WIPEONFORK", "1"));
}

// Whatever becomes of the wipe: taken, refused, or failing for a moment or
// for good (this suite's runs with FAKE_OS_*).
TEST_F(Core, OwnershipPagesAreLeftOutOfCoreFiles) {
    ASSERT_NE(os.pool, nullptr);
    EXPECT_TRUE(os.dump_page != nullptr && os.dump_page <= os.pool &&
                os.pool + 4096 <= os.dump_page + os.dump_length)
        << "core files hold the pool";
}

// A forked child whose process id is its parent's, as an init process that
// forks into a new PID namespace, or a descendant given a dead owner's id:
// the wiped mapping tells it, or where the advice is refused the fork handler.
TEST_F(Core, ChildWithTheParentsProcessIdStartsAfresh) {
    const pid_t parent_pid = getpid();
    ASSERT_EQ(set_uuid7_state_for_tests(T, 800), 0);
    const Id before = mono(T);
    ASSERT_EQ(before.status, 0);

    ChildReport child{};
    ASSERT_NO_FATAL_FAILURE(report_from_child(&child, [parent_pid] {
        os.pid = parent_pid;
        os.fake_pid = true;
    }));
    EXPECT_FALSE(child.inherited_pool) << "a core file of the child would hold the parent's pool";
    EXPECT_EQ(child.id.status, 0);
    EXPECT_EQ(child.read_calls, 1u) << "the child refilled instead of using the parent's pool";
    EXPECT_NE(child.id.counter(), before.counter() + 1);
    EXPECT_NE(child.id.tail(), static_cast<uint32_t>(pool_word(1)));

    // The parent keeps its own sequence and pool.
    EXPECT_NEXT(mono(T), mono_bytes(T, before.counter() + 1, pool_word(1)));
}

TEST_F(Core, ResetTakesOwnershipOfAWipedPage) {
    if (!fake_os::wipe_on_fork()) {
        GTEST_SKIP() << "no page to wipe with the advice refused";
    }
    ASSERT_EQ(set_uuid7_state_for_tests(T, 10), 0);
    std::memset(os.wipe_page, 0, os.wipe_length);  // as in a fresh child
    reset_uuid7_state();
    ASSERT_EQ(set_uuid7_state_for_tests(T, 20), 0);
    // Owned since the reset: the next identifier continues at 21 rather than
    // starting afresh.
    EXPECT_NEXT(mono(T), mono_bytes(T, 21, pool_word(0)));
}

}  // namespace
