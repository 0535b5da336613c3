// A library that exports two of the core's names, as a plugin loaded with
// RTLD_GLOBAL or a preloaded library may: every call hands out one and the
// same identifier.  The extension module must never end up calling these.

#include "vorndal.h"

#include "uuid7_layout.h"

namespace {
constexpr uint64_t foreign_high = 0x0123456789AB7CDEull;
constexpr uint64_t foreign_low = 0x8123456789ABCDEFull;
}  // namespace

extern "C" {

int generate_uuid7_words(uint64_t *high, uint64_t *low) {
    *high = foreign_high;
    *low = foreign_low;
    return 0;
}

int generate_uuid7_bytes(unsigned char *uuid) {
    write_uuid7_words(uuid, foreign_high, foreign_low);
    return 0;
}

}  // extern "C"
