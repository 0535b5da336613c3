/* The 128-bit integer form of one identifier.
 *
 * Included by the extension module only.  Every function has internal
 * linkage; nothing here keeps state.
 */
#ifndef TEMBREL_UUID7_INT_H
#define TEMBREL_UUID7_INT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <bit>
#include <cstdint>
#include <cstring>

#if PY_VERSION_HEX < 0x030D0000
#error "the 128-bit integer conversion needs CPython 3.13 or newer"
#endif

/* The integer writer (PyLongWriter_Create, PyLong_GetNativeLayout) first
 * appeared in CPython 3.14; on 3.13 every integer goes through the byte
 * interface.  Both give the same integer for the same words. */
#define TEMBREL_HAS_LONG_WRITER (PY_VERSION_HEX >= 0x030E0000)

/* The value high * 2**64 + low through the interpreter's byte interface
 * (CPython 3.13 and newer): correct for any integer layout.  New reference,
 * or null with an exception. */
static inline PyObject *uuid_words_to_int_portable(uint64_t high, uint64_t low) {
    uint64_t buffer[2];
    if constexpr (std::endian::native == std::endian::little) {
        buffer[0] = low;
        buffer[1] = high;
    } else {
        buffer[0] = high;
        buffer[1] = low;
    }
    return PyLong_FromUnsignedNativeBytes(buffer, sizeof buffer, Py_ASNATIVEBYTES_NATIVE_ENDIAN);
}

/* The value high * 2**64 + low.  From CPython 3.14, on the usual layout of
 * 30-bit digits, the five digits are handed to the interpreter's integer
 * writer ready-made.  New reference, or null with an exception. */
static inline PyObject *uuid_words_to_int(uint64_t high, uint64_t low) {
#if !TEMBREL_HAS_LONG_WRITER
    return uuid_words_to_int_portable(high, low);
#else
    const PyLongLayout *layout = PyLong_GetNativeLayout();
    constexpr int machine_order = std::endian::native == std::endian::little ? -1 : 1;
    if (layout->bits_per_digit != 30 || layout->digit_size != 4 || layout->digits_order != -1 ||
        layout->digit_endianness != machine_order) {
        return uuid_words_to_int_portable(high, low);
    }
    void *buffer;
    PyLongWriter *writer = PyLongWriter_Create(0, 5, &buffer);
    if (writer == nullptr) {
        return nullptr;
    }
    const uint32_t digits[5] = {
        static_cast<uint32_t>(low & 0x3FFFFFFF),
        static_cast<uint32_t>((low >> 30) & 0x3FFFFFFF),
        static_cast<uint32_t>(((low >> 60) | (high << 4)) & 0x3FFFFFFF),
        static_cast<uint32_t>((high >> 26) & 0x3FFFFFFF),
        static_cast<uint32_t>(high >> 56),
    };
    std::memcpy(buffer, digits, sizeof digits);
    return PyLongWriter_Finish(writer);
#endif
}

#endif /* TEMBREL_UUID7_INT_H */
