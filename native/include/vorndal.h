/* The UUIDv7 generator core: seven plain functions over one process-wide
 * generator.  No interpreter headers; the extension module and the core's own
 * tests are its only callers.
 *
 * Generation status, the result of every generating function:
 *    0  success; the outputs are written
 *   -1  the system's randomness could not be read: /dev/urandom could not be
 *       opened or read, or is not the kernel's random device (character
 *       device 1,9, or 1,8 for /dev/random).  errno tells why: the failing
 *       call's own, ENODEV for a file that is not the device, EIO for an end
 *       of file.
 *   -2  no valid timestamp.  errno tells which: 0 when the timestamp does not
 *       fit in 48 bits (for the clock-driven functions the clock reads before
 *       1970 or past the 48-bit range) or the counter ran out in the last
 *       representable millisecond (0xFFFFFFFFFFFF); clock_gettime's own
 *       errno when a clock-driven function could not read the clock at all
 * On any non-zero status the outputs are left untouched and no generator
 * state is committed.
 *
 * UUID words: `high` is the first eight bytes of the identifier read as a
 * big-endian number, `low` the last eight.  The 16-byte form is `high`
 * big-endian followed by `low` big-endian.
 *
 * Not thread-safe: callers serialise every call (the extension module holds
 * the interpreter's global lock).
 */
#ifndef TEMBREL_VORNDAL_H
#define TEMBREL_VORNDAL_H

#include <stdint.h>

#if defined(__cplusplus)
#define VORNDAL_NODISCARD [[nodiscard]]
extern "C" {
#else
#define VORNDAL_NODISCARD
#endif

#define VORNDAL_API __attribute__((visibility("default")))

/* Monotonic identifier from the real-time clock, as 16 bytes. */
VORNDAL_NODISCARD VORNDAL_API int generate_uuid7_bytes(unsigned char *uuid);

/* Monotonic identifier with the caller's timestamp in place of the clock:
 * advances the same sequence as the clock-driven functions. */
VORNDAL_NODISCARD VORNDAL_API int generate_uuid7_bytes_for_timestamp(unsigned char *uuid,
                                                                     uint64_t unix_ts_ms);

/* Independent identifier at a timestamp: 74 random bits, the monotonic
 * sequence neither read nor changed. */
VORNDAL_NODISCARD VORNDAL_API int generate_uuid7_at_bytes(unsigned char *uuid, uint64_t unix_ts_ms);
VORNDAL_NODISCARD VORNDAL_API int generate_uuid7_at_words(uint64_t *high, uint64_t *low, uint64_t unix_ts_ms);

/* Monotonic identifier from the real-time clock, as UUID words. */
VORNDAL_NODISCARD VORNDAL_API int generate_uuid7_words(uint64_t *high, uint64_t *low);

/* Forget the sequence and empty and zero the entropy pool; the process
 * becomes the owner.  Cannot fail.  The /dev/urandom descriptor stays open.
 * For a process restored from a snapshot, which cannot tell by itself. */
VORNDAL_API void reset_uuid7_state(void);

/* Force the last timestamp and counter.  Returns 0, or -1 (nothing changed)
 * when the timestamp exceeds 48 bits or the counter 42 bits. */
VORNDAL_NODISCARD VORNDAL_API int set_uuid7_state_for_tests(uint64_t timestamp_ms, uint64_t counter_value);

#if defined(__cplusplus)
}
#endif

#endif /* TEMBREL_VORNDAL_H */
