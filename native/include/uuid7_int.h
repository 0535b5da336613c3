/* Byte order and the 128-bit integer form of one identifier.
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

#if PY_VERSION_HEX < 0x030E0000
#error "the integer writer interface needs CPython 3.14 or newer"
#endif

/* The eight bytes read as a big-endian number. */
static inline uint64_t read_u64_be(const unsigned char *bytes) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

/* Byte i (0 to 7) receives bits 63 - 8i down to 56 - 8i of value. */
static inline void write_u64_be(unsigned char *bytes, uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<unsigned char>(value >> (56 - 8 * i));
    }
}

/* The value high * 2**64 + low through the interpreter's byte interface:
 * correct for any integer layout.  New reference, or null with an exception. */
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

/* The value high * 2**64 + low.  On the usual layout of 30-bit digits the
 * five digits are handed to the interpreter's integer writer ready-made.
 * New reference, or null with an exception. */
static inline PyObject *uuid_words_to_int(uint64_t high, uint64_t low) {
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
}

/* The 16-byte form read as one big-endian number. */
static inline PyObject *uuid_bytes_to_int(const unsigned char *uuid) {
    return uuid_words_to_int(read_u64_be(uuid), read_u64_be(uuid + 8));
}

#endif /* TEMBREL_UUID7_INT_H */
