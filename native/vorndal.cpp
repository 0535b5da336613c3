// The extension module vorndal: everything the interpreter sees of the UUIDv7
// generator.  The generator itself is the core behind include/vorndal.h; this
// file turns its statuses into exceptions and its words and bytes into Python
// objects: canonical text, bytes, int, uuid.UUID instances and the compact
// UUID7Obj type.
//
// Every entry point runs with the interpreter's global lock held and never
// releases it, which serialises all access to the generator.  Python code can
// still run on this thread in the middle of a call (an __index__ method, a
// descriptor of the configured class, a finalizer), so the uuid.UUID
// configuration is read afresh at every use.
//
// The module is single-phase, and legacy subinterpreters (those that share
// the main interpreter's GIL) load it too.  Each interpreter configures the
// uuid.UUID fast path with its own class, kept in a UuidClassConfig.
//
// The same source makes two builds: the version-specific module and the
// stable-ABI one (vorndal.abi3.so, for CPython 3.11 onwards).  What they do
// differently is in interpreter_api.h, apart from two structures, each under
// one test of Py_LIMITED_API below: the UUID7Obj type object and the slot
// layout of the uuid.UUID fast path.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "interpreter_api.h"
#include "uuid7_layout.h"
#include "vorndal.h"

namespace {

// ---------------------------------------------------------------------------
// Shared pieces: status mapping, batch count, canonical text.
// ---------------------------------------------------------------------------

constexpr std::array<char, 16> hex_digits = {'0', '1', '2', '3', '4', '5', '6', '7',
                                             '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
constexpr Py_ssize_t canonical_length = 36;
constexpr Py_ssize_t hex_length = 32;

// Interned attribute names for uuid.UUID instances, made once at import,
// and the key of a subinterpreter's UuidClassConfig in its interpreter
// dictionary.
PyObject *uuid_int_attr = nullptr;
PyObject *uuid_is_safe_attr = nullptr;
PyObject *uuid_class_config_key = nullptr;

// Always null, with OverflowError for -2 and RuntimeError for any other
// status, each with the errno the core left as an OSError __cause__ when it
// left one.  A failed draw leaves errno as the device's open, fstat or read
// set it (ENODEV when /dev/urandom is not the kernel's random device), so
// that EMFILE, ENOENT or EACCES can be told apart; the timestamp error leaves
// the clock's errno when the clock could not be read, and 0 for a timestamp
// merely out of range.  Called straight after the failed core call, before
// anything else can change errno.
PyObject *raise_generation_error(int status) {
    const bool timestamp = status == -2;
    PyObject *cause = nullptr;
    if (errno != 0) {
        if (timestamp) {
            PyErr_SetFromErrno(PyExc_OSError);
        } else {
            PyErr_SetFromErrnoWithFilename(PyExc_OSError, "/dev/urandom");
        }
        cause = take_raised_exception();
    }
    if (timestamp) {
        PyErr_SetString(PyExc_OverflowError, "UUIDv7 timestamp exceeds 48 bits");
    } else {
        PyErr_SetString(PyExc_RuntimeError, "system CSPRNG failed while generating UUID v7");
    }
    if (cause != nullptr) {
        PyObject *exception = take_raised_exception();
        PyException_SetCause(exception, cause);  // steals cause
        restore_raised_exception(exception);
    }
    return nullptr;
}

// 0 with *count set, or -1 with an exception.  The usual argument, one exact
// int, is read directly: the format "n" of the argument parser would give the
// same value and the same OverflowError.  Everything else (a wrong number of
// arguments, an object with __index__, a non-integer) goes to the parser.
[[nodiscard]] int parse_batch_count(PyObject *args, Py_ssize_t *count) {
    if (tuple_size(args) == 1 && PyLong_CheckExact(tuple_item(args, 0))) {
        *count = PyLong_AsSsize_t(tuple_item(args, 0));
        if (*count == -1 && PyErr_Occurred()) {
            return -1;
        }
    } else if (!PyArg_ParseTuple(args, "n", count)) {
        return -1;
    }
    if (*count < 0) {
        PyErr_SetString(PyExc_ValueError, "count must be non-negative");
        return -1;
    }
    return 0;
}

// True, with the handler's exception, when a signal handler raised before
// item `index` of a batch.  Every batch lets the interpreter run its signal
// handlers once every 65,536 identifiers (a few milliseconds), so that Ctrl-C
// stops a long batch about as soon as a Python loop.  The check may also run
// a collection that is due, and finalizers with it: a batch's list is hidden
// from the collector and the generator is whole between two identifiers.
[[nodiscard]] inline bool interrupted_before(Py_ssize_t index) {
    constexpr Py_ssize_t interval = Py_ssize_t{1} << 16;
    return index != 0 && (index & (interval - 1)) == 0 && PyErr_CheckSignals() < 0;
}

// The two hexadecimal digits of every byte value, high nibble first: one
// lookup per byte.
constexpr std::array<std::array<char, 2>, 256> hex_pairs = [] {
    std::array<std::array<char, 2>, 256> table{};
    for (size_t value = 0; value < 256; ++value) {
        table[value] = {hex_digits[value >> 4], hex_digits[value & 0x0F]};
    }
    return table;
}();

inline void put_hex_pair(char *text, unsigned char byte) {
    std::memcpy(text, hex_pairs[byte].data(), 2);
}

// Writes exactly 36 characters, no terminator: bytes 0-3, 4-5, 6-7, 8-9 and
// 10-15 as digit pairs, with "-" between the groups.
void format_uuid7(const unsigned char *uuid, char *text) {
    constexpr std::array<unsigned char, 16> position = {0,  2,  4,  6,  9,  11, 14, 16,
                                                        19, 21, 24, 26, 28, 30, 32, 34};
    for (size_t index = 0; index < 16; ++index) {
        put_hex_pair(text + position[index], uuid[index]);
    }
    text[8] = text[13] = text[18] = text[23] = '-';
}

// Writes exactly 32 characters, no terminator.
void format_uuid7_hex(const unsigned char *uuid, char *text) {
    for (size_t index = 0; index < 16; ++index) {
        put_hex_pair(text + 2 * index, uuid[index]);
    }
}

PyObject *uuid_bytes_to_string(const unsigned char *uuid) {
    return new_ascii_text<canonical_length>([uuid](char *text) { format_uuid7(uuid, text); });
}

PyObject *uuid_bytes_to_hex(const unsigned char *uuid) {
    return new_ascii_text<hex_length>([uuid](char *text) { format_uuid7_hex(uuid, text); });
}

PyObject *uuid_words_to_string(uint64_t high, uint64_t low) {
    unsigned char uuid[16];
    write_uuid7_words(uuid, high, low);
    return uuid_bytes_to_string(uuid);
}

PyObject *uuid_words_to_hex(uint64_t high, uint64_t low) {
    unsigned char uuid[16];
    write_uuid7_words(uuid, high, low);
    return uuid_bytes_to_hex(uuid);
}

// A new list of `count` empty slots that no Python code can reach until
// finish_hidden_list: making an item may run Python code (a descriptor of the
// configured class, a collection started by an allocation and its
// callbacks), and the collector would hand the list, empty slots and all, to
// gc.get_objects() and gc.get_referrers().  Releasing it unfinished is safe.
PyObject *new_hidden_list(Py_ssize_t count) {
    PyObject *list = PyList_New(count);
    if (list != nullptr) {
        PyObject_GC_UnTrack(list);
    }
    return list;
}

// The list made by new_hidden_list, every slot now filled, shown to the collector.
PyObject *finish_hidden_list(PyObject *list) {
    PyObject_GC_Track(list);
    return list;
}

// Always null, with a MemoryError that names the count of a batch whose
// result could not be allocated, in place of the allocator's bare one.
PyObject *raise_batch_too_large(Py_ssize_t count) {
    if (PyErr_Occurred() != nullptr && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
        return nullptr;  // not a shortage of memory: that exception stands
    }
    PyErr_Clear();
    PyErr_Format(PyExc_MemoryError, "not enough memory for %zd identifiers", count);
    return nullptr;
}

// The batch list pattern: a list of exactly `count` slots, filled by index in
// generation order and hidden from the collector until full; at the first
// failing item or raising signal handler the list (and every item in it) is
// released, so no partial list is ever returned or seen.
template <typename MakeItem>
PyObject *make_batch_list(PyObject *args, MakeItem make_item) {
    Py_ssize_t count;
    if (parse_batch_count(args, &count) < 0) {
        return nullptr;
    }
    PyObject *result = new_hidden_list(count);
    if (result == nullptr) {
        return raise_batch_too_large(count);
    }
    for (Py_ssize_t index = 0; index < count; ++index) {
        PyObject *item = interrupted_before(index) ? nullptr : make_item();
        if (item == nullptr) {
            Py_DECREF(result);
            return nullptr;
        }
        fill_list_slot(result, index, item);
    }
    return finish_hidden_list(result);
}

// ---------------------------------------------------------------------------
// Canonical text: generate_uuid7(), uuid7_str_many(n).
// ---------------------------------------------------------------------------

// One identifier as canonical text, generated into `uuid` first: a failed
// string allocation loses that identifier.
PyObject *format_new_uuid7(unsigned char *uuid) {
    const int status = generate_uuid7_bytes(uuid);
    if (status < 0) {
        return raise_generation_error(status);
    }
    return uuid_bytes_to_string(uuid);
}

PyObject *py_generate_uuid7(PyObject *, PyObject *) {
    unsigned char uuid[16];
    return format_new_uuid7(uuid);
}

PyObject *py_uuid7_str_many(PyObject *, PyObject *args) {
    unsigned char uuid[16];  // one buffer serves every item
    return make_batch_list(args, [&uuid] { return format_new_uuid7(uuid); });
}

// ---------------------------------------------------------------------------
// Bytes and integers: generate_uuid7_bytes(), generate_uuid7_int(),
// uuid7_bytes_many(n).
// ---------------------------------------------------------------------------

PyObject *py_generate_uuid7_bytes(PyObject *, PyObject *) {
    PyObject *result = PyBytes_FromStringAndSize(nullptr, 16);
    if (result == nullptr) {
        return nullptr;
    }
    const int status = generate_uuid7_bytes(bytes_data(result));
    if (status < 0) {
        raise_generation_error(status);
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

PyObject *py_generate_uuid7_int(PyObject *, PyObject *) {
    uint64_t high;
    uint64_t low;
    const int status = generate_uuid7_words(&high, &low);
    if (status < 0) {
        return raise_generation_error(status);
    }
    return uuid_words_to_int(high, low);
}

PyObject *py_uuid7_bytes_many(PyObject *, PyObject *args) {
    Py_ssize_t count;
    if (parse_batch_count(args, &count) < 0) {
        return nullptr;
    }
    if (count > PY_SSIZE_T_MAX / 16) {
        return raise_batch_too_large(count);
    }
    PyObject *result = PyBytes_FromStringAndSize(nullptr, 16 * count);
    if (result == nullptr) {
        return raise_batch_too_large(count);
    }
    unsigned char *slot = bytes_data(result);
    for (Py_ssize_t index = 0; index < count; ++index, slot += 16) {
        if (interrupted_before(index)) {
            Py_DECREF(result);
            return nullptr;
        }
        const int status = generate_uuid7_bytes(slot);
        if (status < 0) {
            raise_generation_error(status);
            Py_DECREF(result);
            return nullptr;
        }
    }
    return result;
}

// ---------------------------------------------------------------------------
// UUID7Obj: the compact immutable identifier, header and two words.
// ---------------------------------------------------------------------------

struct NativeUUID7Object {
    PyObject_HEAD
    uint64_t high;
    uint64_t low;
};

static_assert(sizeof(NativeUUID7Object) == sizeof(PyObject) + 2 * sizeof(uint64_t),
              "an instance is the object header and two words, nothing else");

// The type UUID7Obj, made ready by PyInit_vorndal and never released.
PyTypeObject *native_uuid7_type = nullptr;

inline NativeUUID7Object *as_native(PyObject *op) {
    return reinterpret_cast<NativeUUID7Object *>(op);
}

inline uint64_t uuid_timestamp_ms_from_high(uint64_t high) {
    return high >> 16;
}

inline uint64_t uuid_node_from_low(uint64_t low) {
    return low & 0xFFFFFFFFFFFFull;
}

// One new instance holding the next monotonic identifier, or null with an
// exception.  The instance is allocated first, so that a failed allocation
// costs no identifier.
PyObject *new_native_uuid7() {
    NativeUUID7Object *instance = PyObject_New(NativeUUID7Object, native_uuid7_type);
    if (instance == nullptr) {
        return nullptr;
    }
    const int status = generate_uuid7_words(&instance->high, &instance->low);
    if (status < 0) {
        raise_generation_error(status);
        // The words were never written; the default deallocation only frees.
        Py_DECREF(instance);
        return nullptr;
    }
    return reinterpret_cast<PyObject *>(instance);
}

PyObject *py_uuid7_obj(PyObject *, PyObject *) {
    return new_native_uuid7();
}

PyObject *py_uuid7_obj_many(PyObject *, PyObject *args) {
    return make_batch_list(args, new_native_uuid7);
}

PyObject *native_uuid7_str(PyObject *op) {
    const NativeUUID7Object *self = as_native(op);
    return uuid_words_to_string(self->high, self->low);
}

// The canonical text inside a fixed wrapping, e.g. "UUID('%U')".
PyObject *native_uuid7_wrapped_text(PyObject *op, const char *format) {
    PyObject *text = native_uuid7_str(op);
    if (text == nullptr) {
        return nullptr;
    }
    PyObject *result = PyUnicode_FromFormat(format, text);
    Py_DECREF(text);
    return result;
}

PyObject *native_uuid7_repr(PyObject *op) {
    return native_uuid7_wrapped_text(op, "UUID('%U')");
}

PyObject *native_uuid7_get_urn(PyObject *op, void *) {
    return native_uuid7_wrapped_text(op, "urn:uuid:%U");
}

PyObject *native_uuid7_get_hex(PyObject *op, void *) {
    const NativeUUID7Object *self = as_native(op);
    return uuid_words_to_hex(self->high, self->low);
}

PyObject *native_uuid7_bytes_method(PyObject *op, PyObject *) {
    const NativeUUID7Object *self = as_native(op);
    PyObject *result = PyBytes_FromStringAndSize(nullptr, 16);
    if (result == nullptr) {
        return nullptr;
    }
    write_uuid7_words(bytes_data(result), self->high, self->low);
    return result;
}

PyObject *native_uuid7_get_bytes(PyObject *op, void *) {
    return native_uuid7_bytes_method(op, nullptr);
}

PyObject *native_uuid7_get_bytes_le(PyObject *op, void *) {
    const NativeUUID7Object *self = as_native(op);
    unsigned char uuid[16];
    write_uuid7_words(uuid, self->high, self->low);
    const unsigned char fields_le[16] = {
        uuid[3], uuid[2], uuid[1],  uuid[0],  // time_low
        uuid[5], uuid[4],                     // time_mid
        uuid[7], uuid[6],                     // time_hi_version
        uuid[8], uuid[9], uuid[10], uuid[11], uuid[12], uuid[13], uuid[14], uuid[15],
    };
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(fields_le), 16);
}

PyObject *native_uuid7_int_unary(PyObject *op) {
    const NativeUUID7Object *self = as_native(op);
    return uuid_words_to_int(self->high, self->low);
}

PyObject *native_uuid7_int_method(PyObject *op, PyObject *) {
    return native_uuid7_int_unary(op);
}

PyObject *native_uuid7_get_int(PyObject *op, void *) {
    return native_uuid7_int_unary(op);
}

PyObject *native_uuid7_get_time(PyObject *op, void *) {
    return PyLong_FromUnsignedLongLong(uuid_timestamp_ms_from_high(as_native(op)->high));
}

PyObject *native_uuid7_get_version(PyObject *, void *) {
    return PyLong_FromLong(7);
}

PyObject *native_uuid7_get_variant(PyObject *, void *) {
    return PyUnicode_FromString("specified in RFC 4122");
}

PyObject *native_uuid7_get_fields(PyObject *op, void *) {
    const NativeUUID7Object *self = as_native(op);
    return Py_BuildValue("(kkkkkK)",
                         static_cast<unsigned long>(self->high >> 32),             // time_low
                         static_cast<unsigned long>((self->high >> 16) & 0xFFFF),  // time_mid
                         static_cast<unsigned long>(self->high & 0xFFFF),          // time_hi_version
                         static_cast<unsigned long>(self->low >> 56),              // clock_seq_hi_variant
                         static_cast<unsigned long>((self->low >> 48) & 0xFF),     // clock_seq_low
                         static_cast<unsigned long long>(uuid_node_from_low(self->low)));
}

Py_hash_t native_uuid7_hash(PyObject *op) {
    const NativeUUID7Object *self = as_native(op);
    uint64_t h = self->high ^ (self->high >> 32) ^ (self->low * 1000003u) ^ (self->low >> 32);
    if (h == UINT64_MAX) {
        h = UINT64_MAX - 1;  // -1 is the error value of a hash
    }
    return static_cast<Py_hash_t>(h);
}

PyObject *native_uuid7_richcompare(PyObject *left, PyObject *right, int op) {
    if (!PyObject_TypeCheck(left, native_uuid7_type) || !PyObject_TypeCheck(right, native_uuid7_type)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    const NativeUUID7Object *a = as_native(left);
    const NativeUUID7Object *b = as_native(right);
    if (a->high != b->high) {
        Py_RETURN_RICHCOMPARE(a->high, b->high, op);
    }
    Py_RETURN_RICHCOMPARE(a->low, b->low, op);
}

int native_uuid7_setattro(PyObject *, PyObject *, PyObject *) {
    PyErr_SetString(PyExc_TypeError, "UUID objects are immutable");
    return -1;
}

PyGetSetDef native_uuid7_getset[] = {
    {"int", native_uuid7_get_int, nullptr, "UUID as a 128-bit integer", nullptr},
    {"bytes", native_uuid7_get_bytes, nullptr, "UUID as 16 big-endian bytes", nullptr},
    {"bytes_le", native_uuid7_get_bytes_le, nullptr, "UUID as 16 little-endian field bytes", nullptr},
    {"hex", native_uuid7_get_hex, nullptr, "UUID as 32 lowercase hexadecimal digits", nullptr},
    {"time", native_uuid7_get_time, nullptr, "UUIDv7 Unix timestamp in milliseconds", nullptr},
    {"timestamp", native_uuid7_get_time, nullptr, "UUIDv7 Unix timestamp in milliseconds", nullptr},
    {"urn", native_uuid7_get_urn, nullptr, "UUID URN", nullptr},
    {"version", native_uuid7_get_version, nullptr, "UUID version", nullptr},
    {"variant", native_uuid7_get_variant, nullptr, "UUID variant", nullptr},
    {"fields", native_uuid7_get_fields, nullptr, "UUID fields tuple", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char *native_uuid7_name = "tembrel.tembrel_impl.vorndal.UUID7Obj";
constexpr const char *native_uuid7_doc = "Compact native UUIDv7 object";

#if !defined(Py_LIMITED_API)
// The version-specific build: one static type object.  Readied without
// tp_new on object's layout, it also gets Py_TPFLAGS_IMMUTABLETYPE and
// Py_TPFLAGS_DISALLOW_INSTANTIATION; the default deallocation only frees.
PyMethodDef native_uuid7_methods[] = {
    {"__int__", native_uuid7_int_method, METH_NOARGS, "Return the UUID as an integer"},
    {"__bytes__", native_uuid7_bytes_method, METH_NOARGS, "Return the UUID as bytes"},
    {nullptr, nullptr, 0, nullptr},
};

PyNumberMethods native_uuid7_as_number = {
    .nb_int = native_uuid7_int_unary,
    .nb_index = native_uuid7_int_unary,
};

PyTypeObject NativeUUID7Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = native_uuid7_name,
    .tp_basicsize = sizeof(NativeUUID7Object),
    .tp_repr = native_uuid7_repr,
    .tp_as_number = &native_uuid7_as_number,
    .tp_hash = native_uuid7_hash,
    .tp_str = native_uuid7_str,
    .tp_setattro = native_uuid7_setattro,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = native_uuid7_doc,
    .tp_richcompare = native_uuid7_richcompare,
    .tp_methods = native_uuid7_methods,
    .tp_getset = native_uuid7_getset,
};

// The type, readied; null with an exception.
PyTypeObject *ready_native_uuid7_type() {
    return PyType_Ready(&NativeUUID7Type) < 0 ? nullptr : &NativeUUID7Type;
}
#else
// The stable-ABI build: a heap type built from a table of the same slots, given the
// flags that the static type gets when readied, so that it is as closed:
// nothing can be set on the class, no class derives from it, Python code
// cannot call it.  An instance holds a reference to its heap type, which its
// deallocation drops after freeing it.
void native_uuid7_dealloc(PyObject *op) {
    PyTypeObject *type = Py_TYPE(op);
    PyObject_Free(op);
    Py_DECREF(type);
}

// Instances of the static type cannot be pickled or copied.  Pickle's
// protocols 0 and 1 tell a heap type by its flag (copyreg._reduce_ex) and
// would write an instance of this one as a bare object: __reduce__ refuses
// for every protocol, with the message the static type gets from protocol 2.
PyObject *native_uuid7_reduce(PyObject *, PyObject *) {
    PyErr_Format(PyExc_TypeError, "cannot pickle '%s' object", native_uuid7_name);
    return nullptr;
}

PyMethodDef native_uuid7_methods[] = {
    {"__int__", native_uuid7_int_method, METH_NOARGS, "Return the UUID as an integer"},
    {"__bytes__", native_uuid7_bytes_method, METH_NOARGS, "Return the UUID as bytes"},
    {"__reduce__", native_uuid7_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot native_uuid7_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(native_uuid7_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(native_uuid7_repr)},
    {Py_nb_int, reinterpret_cast<void *>(native_uuid7_int_unary)},
    {Py_nb_index, reinterpret_cast<void *>(native_uuid7_int_unary)},
    {Py_tp_hash, reinterpret_cast<void *>(native_uuid7_hash)},
    {Py_tp_str, reinterpret_cast<void *>(native_uuid7_str)},
    {Py_tp_setattro, reinterpret_cast<void *>(native_uuid7_setattro)},
    {Py_tp_doc, const_cast<char *>(native_uuid7_doc)},
    {Py_tp_richcompare, reinterpret_cast<void *>(native_uuid7_richcompare)},
    {Py_tp_methods, native_uuid7_methods},
    {Py_tp_getset, native_uuid7_getset},
    {0, nullptr},
};

PyType_Spec native_uuid7_spec = {
    .name = native_uuid7_name,
    .basicsize = sizeof(NativeUUID7Object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = native_uuid7_slots,
};

// The type, made; null with an exception.
PyTypeObject *ready_native_uuid7_type() {
    return reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&native_uuid7_spec));
}
#endif

// ---------------------------------------------------------------------------
// The uuid.UUID fast path: _configure_uuid7, uuid7(), uuid7_many(n),
// _uuid7_at_many(unix_ms).
// ---------------------------------------------------------------------------

#if !defined(Py_LIMITED_API)
// Where instances of one class keep `int` and `is_safe` when the class
// serves the name with a plain writable object slot, as the __slots__ of
// uuid.UUID do.  Storing the pointer there is all that PyObject_GenericSetAttr
// does for such a slot, after a lookup along the class's bases and a call
// through the descriptor; the module does it directly.  A layout holds while
// the class's version tag is unchanged: the interpreter clears the tag at any
// change to the class or its bases (an attribute assigned, __bases__
// replaced), and never gives the same tag to another class.
struct SlotLayout {
    const PyTypeObject *type;  // compared only, never dereferenced
    unsigned int version;      // 0: nothing known
    Py_ssize_t int_offset;     // 0: set the attribute the generic way
    Py_ssize_t is_safe_offset;
};

// 0 with *offset set to the instance offset of the plain object slot that
// serves `name` on `type`, or to 0 when the name is served in any other way
// (a property, a read-only or foreign member, an instance dictionary); -1
// with an exception.  The search follows the method resolution order, as
// attribute lookup does.
[[nodiscard]] int find_object_slot(PyTypeObject *type, PyObject *name, Py_ssize_t *offset) {
    *offset = 0;
    PyObject *mro = type->tp_mro;  // what _PyType_Lookup walks; a ready class always has it
    if (mro == nullptr || !PyTuple_Check(mro)) {
        return 0;
    }
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(mro); ++index) {
        PyObject *dict = PyType_GetDict(reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, index)));
        if (dict == nullptr) {
            continue;
        }
        PyObject *descriptor;
        const int found = PyDict_GetItemRef(dict, name, &descriptor);
        Py_DECREF(dict);
        if (found < 0) {
            return -1;
        }
        if (found == 0) {
            continue;
        }
        if (Py_IS_TYPE(descriptor, &PyMemberDescr_Type)) {
            // A member descriptor, by its exact type: d_member is its PyMemberDef.
            const auto *member_descriptor = reinterpret_cast<PyMemberDescrObject *>(descriptor);
            const PyMemberDef *member = member_descriptor->d_member;
            // The cases where PyMember_SetOne stores the pointer and does nothing else,
            // and the descriptor's check of the instance's class passes.
            if (member->type == Py_T_OBJECT_EX && (member->flags & (Py_READONLY | Py_RELATIVE_OFFSET)) == 0 &&
                member->offset > 0 &&
                member->offset + static_cast<Py_ssize_t>(sizeof(PyObject *)) <= type->tp_basicsize &&
                PyType_IsSubtype(type, member_descriptor->d_common.d_type)) {
                *offset = member->offset;
            }
        }
        Py_DECREF(descriptor);
        return 0;
    }
    return 0;
}

// The layout in `cache` if it is that of `type` and still holds; null
// otherwise.  Reads only: never assigns a version tag, never runs Python code.
inline const SlotLayout *cached_slot_layout(const SlotLayout &cache, const PyTypeObject *type) {
    // tp_version_tag, as the interpreter's own type cache reads it: zeroed at any change.
    const bool holds = cache.type == type && cache.version != 0 && type->tp_version_tag == cache.version;
    return holds ? &cache : nullptr;
}

// 0 with *layout set to the slot layout of `type` (null when the class has
// no version tag to check it by, or changed while it was searched), or -1
// with an exception.  Assigns `type` a version tag when it has none, then
// searches its method resolution order; a layout found anew replaces the one
// in `cache`.
[[nodiscard]] int tag_and_find_slot_layout(SlotLayout &cache, PyTypeObject *type, const SlotLayout **layout) {
    *layout = cached_slot_layout(cache, type);
    if (*layout != nullptr) {
        return 0;
    }
    if (!PyUnstable_Type_AssignVersionTag(type)) {
        return 0;  // no tag to check a layout by: the generic setter every time
    }
    const unsigned int version = type->tp_version_tag;
    Py_ssize_t int_offset;
    Py_ssize_t is_safe_offset;
    if (find_object_slot(type, uuid_int_attr, &int_offset) < 0 ||
        find_object_slot(type, uuid_is_safe_attr, &is_safe_offset) < 0) {
        return -1;
    }
    if (type->tp_version_tag != version) {
        return 0;  // the class changed while it was searched
    }
    cache = {type, version, int_offset, is_safe_offset};
    *layout = &cache;
    return 0;
}

inline PyObject *&object_slot(PyObject *instance, Py_ssize_t offset) {
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(instance) + offset);
}

// Sets attribute `name` of a new instance to `value`, whose reference the
// call takes over.  0, or -1 with an exception.  The layout is checked
// against the instance's own class at every assignment: Python code run by an
// earlier assignment may have changed the class, or the instance's __class__.
[[nodiscard]] int set_instance_attribute(SlotLayout &cache, PyObject *instance, PyObject *name,
                                         PyObject *value) {
    const SlotLayout *layout;
    if (tag_and_find_slot_layout(cache, Py_TYPE(instance), &layout) < 0) {
        Py_DECREF(value);
        return -1;
    }
    const Py_ssize_t offset = layout == nullptr       ? 0
                              : name == uuid_int_attr ? layout->int_offset
                                                      : layout->is_safe_offset;
    if (offset == 0) {
        const int status = PyObject_GenericSetAttr(instance, name, value);
        Py_DECREF(value);
        return status;
    }
    // PyMember_SetOne for a Py_T_OBJECT_EX slot, but the layout is checked against this class.
    Py_XSETREF(object_slot(instance, offset), value);
    return 0;
}

// True when `int` and `is_safe` of a fresh instance (both still null) were
// stored by the cached layout: PyObject_GenericSetAttr twice, but no Python
// code runs between the two stores.  The instance takes over `value` then.
bool store_in_known_slots(const SlotLayout &cache, PyObject *instance, PyObject *value, PyObject *safe_uuid) {
    const SlotLayout *layout = cached_slot_layout(cache, Py_TYPE(instance));
    if (layout == nullptr || layout->int_offset == 0 || layout->is_safe_offset == 0) {
        return false;
    }
    object_slot(instance, layout->int_offset) = value;
    object_slot(instance, layout->is_safe_offset) = Py_NewRef(safe_uuid);
    return true;
}

#else
// The stable ABI reads neither a class's slots nor its version tag: every
// attribute is set the generic way, by PyObject_GenericSetAttr.
struct SlotLayout {};

// Sets attribute `name` of a new instance to `value`, whose reference the
// call takes over.  0, or -1 with an exception.
[[nodiscard]] int set_instance_attribute(SlotLayout &, PyObject *instance, PyObject *name, PyObject *value) {
    const int status = PyObject_GenericSetAttr(instance, name, value);
    Py_DECREF(value);
    return status;
}

bool store_in_known_slots(const SlotLayout &, PyObject *, PyObject *, PyObject *) {
    return false;
}
#endif

// One interpreter's configuration of the uuid.UUID fast path: the class to
// instantiate and the object every instance gets as is_safe (both null until
// configured, never null after), and the slot layout last found for a class.
//
// Each interpreter has its own, so that its identifiers are instances of the
// uuid.UUID it configured, and no interpreter holds another's objects: the
// main interpreter's lives in static storage (its lookup is one comparison);
// a subinterpreter's lives in a capsule in that interpreter's dictionary,
// which releases it, class and all, when the interpreter is finalised.  A
// layout is thereby only ever checked against classes of the interpreter
// that found it, whose version tags are never given to two classes.
struct UuidClassConfig {
    PyObject *type;
    PyObject *safe_uuid;
    SlotLayout layout;
};

// The calling interpreter's UuidClassConfig, held for one call.  Python code
// run in the middle of a call can reach a subinterpreter's dictionary (it is
// one of gc.get_objects()) and delete the capsule from it; the reference held
// here keeps the record alive until the call that uses it ends.
class HeldUuidClassConfig {
  public:
    HeldUuidClassConfig() = default;
    HeldUuidClassConfig(const HeldUuidClassConfig &) = delete;
    HeldUuidClassConfig &operator=(const HeldUuidClassConfig &) = delete;
    ~HeldUuidClassConfig() {
        Py_XDECREF(capsule_);
    }

    [[nodiscard]] UuidClassConfig *get() const {
        return record_;
    }

  private:
    friend int find_uuid_class_config(bool create, HeldUuidClassConfig *held);
    UuidClassConfig *record_ = nullptr;
    PyObject *capsule_ = nullptr;  // null for the main interpreter's static record
};

UuidClassConfig main_uuid_class_config = {nullptr, nullptr, {}};

constexpr const char *uuid_class_config_capsule_name = "tembrel.tembrel_impl.vorndal.UuidClassConfig";

void release_uuid_class_config(PyObject *capsule) {
    auto *config =
        static_cast<UuidClassConfig *>(PyCapsule_GetPointer(capsule, uuid_class_config_capsule_name));
    if (config == nullptr) {
        PyErr_Clear();  // not ours: nothing to release
        return;
    }
    // Freed before the references go, as their release may run Python code.
    PyObject *type = config->type;
    PyObject *safe_uuid = config->safe_uuid;
    PyMem_Free(config);
    Py_XDECREF(type);
    Py_XDECREF(safe_uuid);
}

// 0 with `held` (empty on entry) holding the calling interpreter's
// UuidClassConfig, or -1 with an exception.  A subinterpreter that never
// configured has none: held->get() is null, unless `create` asks for an empty
// one to be made.
[[nodiscard]] int find_uuid_class_config(bool create, HeldUuidClassConfig *held) {
    PyInterpreterState *interpreter = PyInterpreterState_Get();
    if (is_main_interpreter(interpreter)) {
        held->record_ = &main_uuid_class_config;
        return 0;
    }
    PyObject *dict = PyInterpreterState_GetDict(interpreter);
    if (dict == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the interpreter has no state dictionary");
        return -1;
    }
    PyObject *capsule;
    const int found = dict_get_item_ref(dict, uuid_class_config_key, &capsule);
    if (found < 0) {
        return -1;
    }
    if (found > 0) {
        held->capsule_ = capsule;
        held->record_ =
            static_cast<UuidClassConfig *>(PyCapsule_GetPointer(capsule, uuid_class_config_capsule_name));
        return held->record_ == nullptr ? -1 : 0;
    }
    if (!create) {
        return 0;
    }
    auto *fresh = static_cast<UuidClassConfig *>(PyMem_Calloc(1, sizeof(UuidClassConfig)));
    if (fresh == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    capsule = PyCapsule_New(fresh, uuid_class_config_capsule_name, release_uuid_class_config);
    if (capsule == nullptr) {
        PyMem_Free(fresh);
        return -1;
    }
    held->capsule_ = capsule;  // on failure its release frees `fresh`
    if (PyDict_SetItem(dict, uuid_class_config_key, capsule) < 0) {
        return -1;
    }
    held->record_ = fresh;
    return 0;
}

PyObject *raise_not_configured() {
    PyErr_SetString(PyExc_RuntimeError, "uuid7 object fast path is not configured");
    return nullptr;
}

// 0 with `held` (empty on entry) holding the calling interpreter's
// UuidClassConfig, configured; or -1 with an exception (RuntimeError when it
// is not configured).
[[nodiscard]] int find_configured_uuid_class(HeldUuidClassConfig *held) {
    if (find_uuid_class_config(false, held) < 0) {
        return -1;
    }
    const UuidClassConfig *config = held->get();
    if (config == nullptr || config->type == nullptr || config->safe_uuid == nullptr) {
        raise_not_configured();
        return -1;
    }
    return 0;
}

// True when a heap class adds nothing to its base's instance layout but the
// object pointers of its __slots__ and, up to CPython 3.11, of its weak
// references, all of which may start null.  A C class made with
// PyType_FromSpec is a heap class too, yet its own fields (the buffer and item
// descriptor of array.array, say) are not valid when zero-filled.
bool adds_only_slots(PyTypeObject *type, const TypeLayout &layout, const TypeLayout &base) {
    const auto pointer = static_cast<Py_ssize_t>(sizeof(PyObject *));
    Py_ssize_t added = 0;
    for (const PyMemberDef *member = type_members(type); member != nullptr && member->name != nullptr;
         ++member) {
        if (member->type == Py_T_OBJECT_EX && member->offset >= base.basic_size) {
            added += pointer;
        }
    }
    // From 3.12 the interpreter keeps the list before the object (a negative offset).
    if (layout.weaklist_offset >= base.basic_size && layout.weaklist_offset < layout.basic_size) {
        added += pointer;
    }
    return layout.basic_size - base.basic_size == added;
}

// True when a zero-filled instance of the class is a valid object: every
// class on its way down to `object` is a Python class, so an instance is the
// object header plus slots and perhaps a dictionary, all of which may start
// null.  Built-in classes (int, range, type, BaseException, ...) keep state
// that only their constructor sets up, and a zero-filled one can crash the
// interpreter when it is used or released.  1 when it is, 0 when it is not,
// -1 with an exception.
[[nodiscard]] int generic_alloc_is_safe(PyTypeObject *type) {
    TypeLayout layout;
    if (type_layout(type, &layout) < 0) {
        return -1;
    }
    while (type != &PyBaseObject_Type) {
        PyTypeObject *base = type_base(type);
        if (!(PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) || layout.item_size != 0 || base == nullptr) {
            return 0;
        }
        TypeLayout base_layout;
        if (type_layout(base, &base_layout) < 0) {
            return -1;
        }
        if (!adds_only_slots(type, layout, base_layout)) {
            return 0;
        }
        type = base;
        layout = base_layout;
    }
    return 1;
}

// Py_XSETREF: `slot` holds `value` (whose reference it takes over) before
// the object it held, if any, is released.
inline void replace_reference(PyObject *&slot, PyObject *value) {
    PyObject *old = slot;
    slot = value;
    Py_XDECREF(old);
}

PyObject *py_configure_uuid7(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "_configure_uuid7() expects uuid type and safe value");
        return nullptr;
    }
    PyObject *new_type = args[0];
    PyObject *new_safe_uuid = args[1];
    if (!PyType_Check(new_type)) {
        PyErr_SetString(PyExc_TypeError, "uuid type must be a type");
        return nullptr;
    }
    const int safe = generic_alloc_is_safe(reinterpret_cast<PyTypeObject *>(new_type));
    if (safe < 0) {
        return nullptr;
    }
    if (safe == 0) {
        PyErr_SetString(PyExc_TypeError,
                        "uuid type must be a Python class whose bases are plain Python classes or object");
        return nullptr;
    }
    HeldUuidClassConfig held;
    if (find_uuid_class_config(true, &held) < 0) {
        return nullptr;
    }
    UuidClassConfig *config = held.get();
    // Both new references are taken before either old one goes, so that
    // configuring again with the same objects changes no reference count.
    config->layout = {};
    Py_INCREF(new_type);
    Py_INCREF(new_safe_uuid);
    replace_reference(config->type, new_type);
    replace_reference(config->safe_uuid, new_safe_uuid);
    Py_RETURN_NONE;
}

// Steals value (which may be null, with the conversion's exception set).
// A new instance of the class configured in `config`, the calling
// interpreter's configured UuidClassConfig, or null with an exception.
PyObject *uuid7_from_owned_int(UuidClassConfig *config, PyObject *value) {
    if (value == nullptr) {
        return nullptr;
    }
    PyObject *uuid_obj = PyType_GenericAlloc(reinterpret_cast<PyTypeObject *>(config->type), 0);
    if (uuid_obj == nullptr) {
        Py_DECREF(value);
        return nullptr;
    }
    if (store_in_known_slots(config->layout, uuid_obj, value, config->safe_uuid)) {
        return uuid_obj;
    }
    if (set_instance_attribute(config->layout, uuid_obj, uuid_int_attr, value) < 0) {
        Py_DECREF(uuid_obj);
        return nullptr;
    }
    // Read after the int setter, which may have run Python code that configured anew.
    if (set_instance_attribute(config->layout, uuid_obj, uuid_is_safe_attr, Py_NewRef(config->safe_uuid)) <
        0) {
        Py_DECREF(uuid_obj);
        return nullptr;
    }
    return uuid_obj;
}

// The next monotonic identifier as an instance of the class configured in
// `config`, or null with an exception.
PyObject *new_uuid7_instance(UuidClassConfig *config) {
    uint64_t high;
    uint64_t low;
    const int status = generate_uuid7_words(&high, &low);
    if (status < 0) {
        return raise_generation_error(status);
    }
    return uuid7_from_owned_int(config, uuid_words_to_int(high, low));
}

PyObject *py_uuid7(PyObject *, PyObject *) {
    HeldUuidClassConfig held;
    if (find_configured_uuid_class(&held) < 0) {
        return nullptr;
    }
    return new_uuid7_instance(held.get());
}

PyObject *py_uuid7_many(PyObject *, PyObject *args) {
    HeldUuidClassConfig held;  // found at the first item, held until the batch ends
    return make_batch_list(args, [&held]() -> PyObject * {
        if (held.get() == nullptr && find_configured_uuid_class(&held) < 0) {
            return nullptr;
        }
        return new_uuid7_instance(held.get());
    });
}

// 0 with *value set to a valid timestamp, or -1 with an exception naming the
// element's index.
[[nodiscard]] int read_unix_ms_element(PyObject *item, Py_ssize_t index, uint64_t *value) {
    if (PyBool_Check(item) || !PyLong_Check(item)) {
        PyErr_Format(PyExc_TypeError, "unix_ms[%zd] must be an integer number of Unix milliseconds", index);
        return -1;
    }
    // An int subclass is read by its value, without __index__; values outside
    // 64 bits only set `overflow`, so no exception needs translating.
    int overflow;
    const long long converted = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (converted == -1 && overflow == 0 && PyErr_Occurred()) {
        return -1;
    }
    if (overflow != 0 || converted < 0 || static_cast<unsigned long long>(converted) > max_timestamp_ms) {
        PyErr_Format(PyExc_ValueError, "unix_ms[%zd] must be between 0 and 2**48 - 1", index);
        return -1;
    }
    *value = static_cast<uint64_t>(converted);
    return 0;
}

PyObject *py_uuid7_at_many(PyObject *, PyObject *unix_ms) {
    PyObject *snapshot = PySequence_Tuple(unix_ms);
    if (snapshot == nullptr) {
        return nullptr;
    }
    const Py_ssize_t count = tuple_size(snapshot);
    if (count == 0) {
        Py_DECREF(snapshot);
        return PyList_New(0);
    }
    if (static_cast<size_t>(count) > SIZE_MAX / sizeof(uint64_t)) {
        Py_DECREF(snapshot);
        return PyErr_NoMemory();
    }
    auto *timestamps = static_cast<uint64_t *>(PyMem_Malloc(static_cast<size_t>(count) * sizeof(uint64_t)));
    if (timestamps == nullptr) {
        Py_DECREF(snapshot);
        return PyErr_NoMemory();
    }

    PyObject *result = nullptr;
    HeldUuidClassConfig held;
    for (Py_ssize_t index = 0; index < count; ++index) {
        if (interrupted_before(index) ||
            read_unix_ms_element(tuple_item(snapshot, index), index, &timestamps[index]) < 0) {
            goto done;
        }
    }
    if (find_configured_uuid_class(&held) < 0) {
        goto done;
    }
    result = new_hidden_list(count);
    if (result == nullptr) {
        goto done;
    }
    for (Py_ssize_t index = 0; index < count; ++index) {
        if (interrupted_before(index)) {
            Py_CLEAR(result);
            goto done;
        }
        uint64_t high;
        uint64_t low;
        const int status = generate_uuid7_at_words(&high, &low, timestamps[index]);
        if (status < 0) {
            raise_generation_error(status);
            Py_CLEAR(result);
            goto done;
        }
        PyObject *item = uuid7_from_owned_int(held.get(), uuid_words_to_int(high, low));
        if (item == nullptr) {
            Py_CLEAR(result);
            goto done;
        }
        fill_list_slot(result, index, item);
    }
    finish_hidden_list(result);

done:
    PyMem_Free(timestamps);
    Py_DECREF(snapshot);
    return result;
}

// ---------------------------------------------------------------------------
// Test and timestamp hooks.
// ---------------------------------------------------------------------------

PyObject *py_reset_state_for_tests(PyObject *, PyObject *) {
    reset_uuid7_state();
    Py_RETURN_NONE;
}

// The hooks take any integer (or object with __index__) and reduce it modulo
// 2**64 without a word, on every interpreter: the masking conversion, not the
// "K" format, which from CPython 3.15 warns about values outside 64 bits and
// before 3.14 refuses __index__.  The messages are those of "K".  0, or -1
// with a TypeError.
[[nodiscard]] int hook_integer(PyObject *arg, int position, unsigned long long *value) {
    if (!PyIndex_Check(arg)) {
        PyObject *name = arg == Py_None ? PyUnicode_FromString("None") : type_name_for_message(arg);
        if (name != nullptr) {
            PyErr_Format(PyExc_TypeError, "argument %d must be int, not %.50U", position, name);
            Py_DECREF(name);
        }
        return -1;
    }
    *value = PyLong_AsUnsignedLongLongMask(arg);
    return *value == static_cast<unsigned long long>(-1) && PyErr_Occurred() ? -1 : 0;
}

PyObject *py_set_state_for_tests(PyObject *, PyObject *args) {
    PyObject *timestamp_arg;
    PyObject *counter_arg;
    unsigned long long timestamp_ms;
    unsigned long long counter_value;
    if (!PyArg_ParseTuple(args, "OO", &timestamp_arg, &counter_arg) ||
        hook_integer(timestamp_arg, 1, &timestamp_ms) < 0 ||
        hook_integer(counter_arg, 2, &counter_value) < 0) {
        return nullptr;
    }
    if (set_uuid7_state_for_tests(timestamp_ms, counter_value) < 0) {
        PyErr_SetString(PyExc_ValueError, "state exceeds timestamp or counter width");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *py_generate_uuid7_bytes_for_tests(PyObject *, PyObject *args) {
    PyObject *timestamp_arg;
    unsigned long long timestamp_ms;
    if (!PyArg_ParseTuple(args, "O", &timestamp_arg) || hook_integer(timestamp_arg, 1, &timestamp_ms) < 0) {
        return nullptr;
    }
    unsigned char uuid[16];
    const int status = generate_uuid7_bytes_for_timestamp(uuid, timestamp_ms);
    if (status < 0) {
        return raise_generation_error(status);
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(uuid), 16);
}

PyObject *py_generate_uuid7_at_bytes(PyObject *, PyObject *arg) {
    const unsigned long long timestamp_ms = PyLong_AsUnsignedLongLong(arg);
    if (timestamp_ms == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return nullptr;
    }
    unsigned char uuid[16];
    const int status = generate_uuid7_at_bytes(uuid, timestamp_ms);
    if (status < 0) {
        return raise_generation_error(status);
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(uuid), 16);
}

// ---------------------------------------------------------------------------
// The module.
// ---------------------------------------------------------------------------

// The rows follow the sections above.  Each docstring opens with the
// function's signature, as inspect.signature reads it (the interpreter keeps
// the rest as __doc__): $module stands for the module the function is bound
// to, and every parameter is positional-only, as the functions read them.
PyMethodDef vorndal_methods[] = {
    {"generate_uuid7", py_generate_uuid7, METH_NOARGS,
     "generate_uuid7($module, /)\n--\n\nGenerate a UUID v7 string"},
    {"uuid7_str_many", py_uuid7_str_many, METH_VARARGS,
     "uuid7_str_many($module, count, /)\n--\n\nGenerate UUID v7 strings in one call"},
    {"generate_uuid7_bytes", py_generate_uuid7_bytes, METH_NOARGS,
     "generate_uuid7_bytes($module, /)\n--\n\nGenerate UUID v7 bytes"},
    {"generate_uuid7_int", py_generate_uuid7_int, METH_NOARGS,
     "generate_uuid7_int($module, /)\n--\n\nGenerate a UUID v7 integer"},
    {"uuid7_bytes_many", py_uuid7_bytes_many, METH_VARARGS,
     "uuid7_bytes_many($module, count, /)\n--\n\nGenerate contiguous UUID v7 bytes in one call"},
    {"uuid7_obj", py_uuid7_obj, METH_NOARGS,
     "uuid7_obj($module, /)\n--\n\nGenerate a compact native UUID v7 object"},
    {"uuid7_obj_many", py_uuid7_obj_many, METH_VARARGS,
     "uuid7_obj_many($module, count, /)\n--\n\nGenerate compact native UUID v7 objects in one call"},
    {"_configure_uuid7", _PyCFunction_CAST(py_configure_uuid7), METH_FASTCALL,
     "_configure_uuid7($module, uuid_type, safe_value, /)\n--\n\nConfigure the UUID v7 object fast path"},
    {"uuid7", py_uuid7, METH_NOARGS, "uuid7($module, /)\n--\n\nGenerate a UUID v7 uuid.UUID object"},
    {"uuid7_many", py_uuid7_many, METH_VARARGS,
     "uuid7_many($module, count, /)\n--\n\nGenerate UUID v7 objects in one call"},
    {"_uuid7_at_many", py_uuid7_at_many, METH_O,
     "_uuid7_at_many($module, unix_ms, /)\n--\n\n"
     "Generate independent UUID v7 objects after validating all timestamps"},
    {"_reset_state_for_tests", py_reset_state_for_tests, METH_NOARGS,
     "_reset_state_for_tests($module, /)\n--\n\nReset UUID v7 generator state"},
    {"_set_state_for_tests", py_set_state_for_tests, METH_VARARGS,
     "_set_state_for_tests($module, timestamp_ms, counter_value, /)\n--\n\n"
     "Set timestamp and counter for deterministic boundary tests"},
    {"_generate_uuid7_bytes_for_tests", py_generate_uuid7_bytes_for_tests, METH_VARARGS,
     "_generate_uuid7_bytes_for_tests($module, timestamp_ms, /)\n--\n\n"
     "Generate UUID v7 bytes for a specific timestamp"},
    {"_generate_uuid7_at_bytes", py_generate_uuid7_at_bytes, METH_O,
     "_generate_uuid7_at_bytes($module, timestamp_ms, /)\n--\n\n"
     "Generate independent UUID v7 bytes at a Unix millisecond timestamp"},
    // The same functions again under the names the package gives them, so
    // that each of the package's functions is named as the package names it
    // (in help(), repr() and tracebacks) at no cost to a call.
    {"uuid7_str", py_generate_uuid7, METH_NOARGS, "uuid7_str($module, /)\n--\n\nGenerate a UUID v7 string"},
    {"uuid7_bytes", py_generate_uuid7_bytes, METH_NOARGS,
     "uuid7_bytes($module, /)\n--\n\nGenerate UUID v7 bytes"},
    {"uuid7_int", py_generate_uuid7_int, METH_NOARGS,
     "uuid7_int($module, /)\n--\n\nGenerate a UUID v7 integer"},
    {"uuid7_compact", py_uuid7_obj, METH_NOARGS,
     "uuid7_compact($module, /)\n--\n\nGenerate a compact native UUID v7 object"},
    {"uuid7_compact_many", py_uuid7_obj_many, METH_VARARGS,
     "uuid7_compact_many($module, count, /)\n--\n\nGenerate compact native UUID v7 objects in one call"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef vorndal_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vorndal",
    .m_doc = nullptr,
    .m_size = -1,
    .m_methods = vorndal_methods,
};

}  // namespace

PyMODINIT_FUNC PyInit_vorndal(void) {
    PyObject *module = PyModule_Create(&vorndal_module);
    if (module == nullptr) {
        return nullptr;
    }
    if (native_uuid7_type == nullptr) {
        native_uuid7_type = ready_native_uuid7_type();
    }
    if (native_uuid7_type == nullptr || PyModule_AddType(module, native_uuid7_type) < 0) {  // as UUID7Obj
        Py_DECREF(module);
        return nullptr;
    }
    uuid_int_attr = PyUnicode_InternFromString("int");
    uuid_is_safe_attr = PyUnicode_InternFromString("is_safe");
    uuid_class_config_key = PyUnicode_InternFromString(uuid_class_config_capsule_name);
    if (uuid_int_attr == nullptr || uuid_is_safe_attr == nullptr || uuid_class_config_key == nullptr) {
        Py_CLEAR(uuid_int_attr);
        Py_CLEAR(uuid_is_safe_attr);
        Py_CLEAR(uuid_class_config_key);
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
