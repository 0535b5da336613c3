/* The layout of one identifier shared by the core and the extension module:
 * the widest timestamp and the 16-byte big-endian form of the two words.
 *
 * No interpreter headers.  Everything here has internal linkage.
 */
#ifndef TEMBREL_UUID7_LAYOUT_H
#define TEMBREL_UUID7_LAYOUT_H

#include <bit>
#include <cstdint>
#include <cstring>

constexpr uint64_t max_timestamp_ms = 0xFFFFFFFFFFFFull;  // 2**48 - 1

/* Byte i (0 to 7) receives bits 63 - 8i down to 56 - 8i of value. */
static inline void write_u64_be(unsigned char *bytes, uint64_t value) {
    if constexpr (std::endian::native == std::endian::little) {
        value = __builtin_bswap64(value);
    }
    std::memcpy(bytes, &value, sizeof value);
}

/* The 16-byte form: high big-endian, then low big-endian. */
static inline void write_uuid7_words(unsigned char *uuid, uint64_t high, uint64_t low) {
    write_u64_be(uuid, high);
    write_u64_be(uuid + 8, low);
}

#endif /* TEMBREL_UUID7_LAYOUT_H */
