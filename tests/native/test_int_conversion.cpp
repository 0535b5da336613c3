// The byte-order helpers and the 128-bit integer conversion, inside an
// embedded interpreter.

#include "uuid7_int.h"
#include "uuid7_layout.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <random>
#include <utility>
#include <vector>

namespace {

// Owns one reference.
class Ref {
  public:
    explicit Ref(PyObject *object) : object_(object) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() {
        Py_XDECREF(object_);
    }
    PyObject *get() const {
        return object_;
    }

  private:
    PyObject *object_;
};

// The value high * 2**64 + low, made by the interpreter from hex digits.
PyObject *int_from_hex(uint64_t high, uint64_t low) {
    char digits[33];
    std::snprintf(digits, sizeof digits, "%016" PRIx64 "%016" PRIx64, high, low);
    return PyLong_FromString(digits, nullptr, 16);
}

long bit_length(uint64_t high, uint64_t low) {
    if (high != 0)
        return 128 - __builtin_clzll(high);
    if (low != 0)
        return 64 - __builtin_clzll(low);
    return 0;
}

void expect_int(PyObject *result, const char *path, uint64_t high, uint64_t low) {
    SCOPED_TRACE(testing::Message() << path << std::hex << " high=0x" << high << " low=0x" << low);
    ASSERT_NE(result, nullptr);
    ASSERT_TRUE(PyLong_CheckExact(result));
    Ref expected(int_from_hex(high, low));
    ASSERT_NE(expected.get(), nullptr);
    EXPECT_EQ(PyObject_RichCompareBool(result, expected.get(), Py_EQ), 1);
    Ref zero(PyLong_FromLong(0));
    ASSERT_NE(zero.get(), nullptr);
    EXPECT_EQ(PyObject_RichCompareBool(result, zero.get(), Py_GT), (high | low) != 0 ? 1 : 0);
    EXPECT_EQ(PyObject_Hash(result), PyObject_Hash(expected.get()));
    Ref length(PyObject_CallMethod(result, "bit_length", nullptr));
    ASSERT_NE(length.get(), nullptr);
    EXPECT_EQ(PyLong_AsLong(length.get()), bit_length(high, low));
}

void check_words(uint64_t high, uint64_t low) {
    Ref fast(uuid_words_to_int(high, low));
    expect_int(fast.get(), "uuid_words_to_int", high, low);
    Ref portable(uuid_words_to_int_portable(high, low));
    expect_int(portable.get(), "uuid_words_to_int_portable", high, low);
}

#if TEMBREL_HAS_LONG_WRITER
TEST(IntConversion, InterpreterUsesThe30BitLayoutSoTheFastPathRuns) {
    const PyLongLayout *layout = PyLong_GetNativeLayout();
    EXPECT_EQ(layout->bits_per_digit, 30);
    EXPECT_EQ(layout->digit_size, 4);
    EXPECT_EQ(layout->digits_order, -1);
}
#endif

constexpr uint64_t all = ~uint64_t{0};

// (high, low) for 0, 1, 2**30-1, 2**30, 2**60, 2**64-1, 2**64, 2**120,
// 2**128-1, and values at the other digit boundaries.
const std::vector<std::pair<uint64_t, uint64_t>> edge_values = {
    {0, 0},
    {0, 1},
    {0, (uint64_t{1} << 30) - 1},
    {0, uint64_t{1} << 30},
    {0, uint64_t{1} << 60},
    {0, all},
    {1, 0},
    {uint64_t{1} << 56, 0},
    {all, all},
    {0, (uint64_t{1} << 60) - 1},
    {(uint64_t{1} << 26) - 1, all},  // 2**90 - 1
    {uint64_t{1} << 26, 0},          // 2**90
    {(uint64_t{1} << 56) - 1, all},  // 2**120 - 1
    {uint64_t{1} << 63, 0},          // 2**127
    {0x0190F1A2B3C47ABCull, 0x8123456789ABCDEFull},
};

TEST(IntConversion, EdgeValues) {
    for (const auto &[high, low] : edge_values) {
        check_words(high, low);
    }
}

TEST(IntConversion, RandomWords) {
    std::mt19937_64 random(20240607);
    for (int i = 0; i < 2000; ++i) {
        uint64_t high = random();
        uint64_t low = random();
        // Also shorter values, so leading zero digits occur.
        const int shift = i % 4 == 0 ? static_cast<int>(random() % 64) : 0;
        high >>= shift;
        check_words(high, low);
        if (HasFailure())
            return;
    }
}

TEST(ByteOrder, WriteIsBigEndian) {
    unsigned char bytes[8];
    write_u64_be(bytes, 0x0123456789ABCDEFull);
    const unsigned char expected[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    EXPECT_EQ(std::memcmp(bytes, expected, 8), 0);
}

TEST(ByteOrder, WordsAreWrittenHighThenLow) {
    unsigned char uuid[16];
    write_uuid7_words(uuid, 0x0123456789ABCDEFull, 0xFEDCBA9876543210ull);
    const unsigned char expected[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                        0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
    EXPECT_EQ(std::memcmp(uuid, expected, 16), 0);
}

TEST(ByteOrder, WritesEightBytesAtEveryAlignment) {
    std::mt19937_64 random(7);
    unsigned char buffer[24];
    for (int i = 0; i < 200; ++i) {
        const uint64_t value = i < 2 ? (i == 0 ? 0 : all) : random();
        for (size_t offset = 0; offset < 8; ++offset) {
            std::memset(buffer, 0x5C, sizeof buffer);
            write_u64_be(buffer + offset, value);
            for (size_t j = 0; j < sizeof buffer; ++j) {
                if (j < offset || j >= offset + 8) {
                    ASSERT_EQ(buffer[j], 0x5C) << "wrote outside its 8 bytes";
                } else {
                    ASSERT_EQ(buffer[j], static_cast<unsigned char>(value >> (56 - 8 * (j - offset))));
                }
            }
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    Py_InitializeEx(0);
    int status = RUN_ALL_TESTS();
    if (Py_FinalizeEx() < 0) {
        status = 1;
    }
    return status;
}
