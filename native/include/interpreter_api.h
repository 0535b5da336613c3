/* The interpreter functions that the extension module's two builds spell
 * differently, each one twice, side by side:
 *
 * - the version-specific build (the default): the module is compiled for one
 *   CPython version and uses what that version offers, macros that read
 *   objects in place, the compact string written in place and the 3.14
 *   integer writer (uuid7_int.h);
 * - the stable-ABI build (CMake's TEMBREL_LIMITED_API, which defines
 *   Py_LIMITED_API as 0x030B0000): one binary, vorndal.abi3.so, that CPython
 *   3.11 and every later version load, and that may call only what the
 *   limited API of 3.11 declares.
 *
 * Everything else the builds share.  Two more differences are structures,
 * not functions, and stand in the module's source under the same test of
 * Py_LIMITED_API: the UUID7Obj type object (static there, built from a slot table here)
 * and the slot layout of the uuid.UUID fast path (read there, not readable
 * here).
 *
 * Included by the extension module only.  Every function has internal
 * linkage.
 */
#ifndef TEMBREL_INTERPRETER_API_H
#define TEMBREL_INTERPRETER_API_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "uuid7_layout.h"

#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 != 0x030B0000
#error "the stable-ABI build targets the limited API of CPython 3.11 (Py_LIMITED_API 0x030B0000)"
#endif

#if !defined(Py_LIMITED_API)
#include "uuid7_int.h"
#endif

/* A new str of the N ASCII characters that `format(char *text)` writes
 * (exactly N, no terminator), or null with an exception. */
template <Py_ssize_t N, typename Format>
static inline PyObject *new_ascii_text(Format format) {
#if !defined(Py_LIMITED_API)
    // Written straight into a compact ASCII string.
    PyObject *text = PyUnicode_New(N, 127);
    if (text != nullptr) {
        format(static_cast<char *>(PyUnicode_DATA(text)));
    }
    return text;
#else
    // Written on the stack, then copied by the UTF-8 decoder, which takes
    // ASCII in one pass: quicker than the ASCII and Latin-1 decoders here.
    char text[N];
    format(text);
    return PyUnicode_FromStringAndSize(text, N);
#endif
}

/* The buffer of a bytes object. */
static inline unsigned char *bytes_data(PyObject *bytes) {
#if !defined(Py_LIMITED_API)
    return reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(bytes));
#else
    return reinterpret_cast<unsigned char *>(PyBytes_AsString(bytes));
#endif
}

/* Stores `item` (its reference taken over) into the empty slot `index` of a
 * new list. */
static inline void fill_list_slot(PyObject *list, Py_ssize_t index, PyObject *item) {
#if !defined(Py_LIMITED_API)
    PyList_SET_ITEM(list, index, item);
#else
    (void)PyList_SetItem(list, index, item);  // cannot fail: a list, an index in range
#endif
}

/* Size and item (borrowed) of a tuple. */
static inline Py_ssize_t tuple_size(PyObject *tuple) {
#if !defined(Py_LIMITED_API)
    return PyTuple_GET_SIZE(tuple);
#else
    return PyTuple_Size(tuple);
#endif
}

static inline PyObject *tuple_item(PyObject *tuple, Py_ssize_t index) {
#if !defined(Py_LIMITED_API)
    return PyTuple_GET_ITEM(tuple, index);
#else
    return PyTuple_GetItem(tuple, index);
#endif
}

/* The exception being raised, taken out of the thread's indicator (a new
 * reference; null when none is), and put back (the reference taken over). */
static inline PyObject *take_raised_exception() {
#if !defined(Py_LIMITED_API)
    return PyErr_GetRaisedException();
#else
    PyObject *type;
    PyObject *value;
    PyObject *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

static inline void restore_raised_exception(PyObject *exception) {
#if !defined(Py_LIMITED_API)
    PyErr_SetRaisedException(exception);
#else
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(exception));
    PyErr_Restore(Py_NewRef(type), exception, PyException_GetTraceback(exception));
#endif
}

/* The name of an object's type as the interpreter's own argument errors
 * print it, as a new str (null with an exception).  The stable ABI cannot
 * read tp_name: it gives __name__, which is tp_name for the built-in types
 * and for classes made by a class statement, and the name without its module
 * for other extension types. */
static inline PyObject *type_name_for_message(PyObject *object) {
#if !defined(Py_LIMITED_API)
    return PyUnicode_FromString(Py_TYPE(object)->tp_name);
#else
    return PyType_GetName(Py_TYPE(object));
#endif
}

/* PyDict_GetItemRef: 1 with a new reference in *value, 0 (and null) when the
 * key is absent, -1 with an exception. */
[[nodiscard]] static inline int dict_get_item_ref(PyObject *dict, PyObject *key, PyObject **value) {
#if !defined(Py_LIMITED_API)
    return PyDict_GetItemRef(dict, key, value);
#else
    PyObject *found = PyDict_GetItemWithError(dict, key);
    *value = Py_XNewRef(found);
    return found != nullptr ? 1 : PyErr_Occurred() ? -1 : 0;
#endif
}

/* Whether `interpreter` is the main interpreter. */
static inline bool is_main_interpreter(PyInterpreterState *interpreter) {
#if !defined(Py_LIMITED_API)
    return interpreter == PyInterpreterState_Main();
#else
    return PyInterpreterState_GetID(interpreter) == 0;  // the main one's id, in every version
#endif
}

/* A class's base and its table of members (either may be null). */
static inline PyTypeObject *type_base(PyTypeObject *type) {
#if !defined(Py_LIMITED_API)
    return type->tp_base;
#else
    return static_cast<PyTypeObject *>(PyType_GetSlot(type, Py_tp_base));
#endif
}

static inline const PyMemberDef *type_members(PyTypeObject *type) {
#if !defined(Py_LIMITED_API)
    return type->tp_members;
#else
    return static_cast<const PyMemberDef *>(PyType_GetSlot(type, Py_tp_members));
#endif
}

/* What a class's instances hold: tp_basicsize, tp_itemsize and
 * tp_weaklistoffset. */
struct TypeLayout {
    Py_ssize_t basic_size;
    Py_ssize_t item_size;
    Py_ssize_t weaklist_offset;
};

/* 0 with a class's layout, or -1 with an exception. */
[[nodiscard]] static inline int type_layout(PyTypeObject *type, TypeLayout *layout) {
#if !defined(Py_LIMITED_API)
    *layout = {type->tp_basicsize, type->tp_itemsize, type->tp_weaklistoffset};
    return 0;
#else
    // Read through the members of `type` itself (type.__dict__["__basicsize__"]
    // .__get__(cls)), which a metaclass cannot stand in for as it can for
    // cls.__basicsize__.
    PyObject *type_dict = PyObject_GetAttrString(reinterpret_cast<PyObject *>(&PyType_Type), "__dict__");
    if (type_dict == nullptr) {
        return -1;
    }
    const char *const names[3] = {"__basicsize__", "__itemsize__", "__weakrefoffset__"};
    Py_ssize_t *const fields[3] = {&layout->basic_size, &layout->item_size, &layout->weaklist_offset};
    int status = 0;
    for (int index = 0; index < 3 && status == 0; ++index) {
        PyObject *member = PyMapping_GetItemString(type_dict, names[index]);
        PyObject *value = member == nullptr ? nullptr
                                            : PyObject_CallMethod(member, "__get__", "O",
                                                                  reinterpret_cast<PyObject *>(type));
        Py_XDECREF(member);
        *fields[index] = value == nullptr ? -1 : PyLong_AsSsize_t(value);
        Py_XDECREF(value);
        status = *fields[index] == -1 && PyErr_Occurred() ? -1 : 0;
    }
    Py_DECREF(type_dict);
    return status;
#endif
}

#if defined(Py_LIMITED_API)
/* The value high * 2**64 + low, a new reference or null with an exception.
 *
 * The limited API of 3.11 makes no int from bytes or digits.  Of what it
 * offers, int.from_bytes(b, "big") is the quickest (measured against parsing
 * 32 hexadecimal digits with PyLong_FromString and against shifting and
 * or-ing two ints), more so when b is always the same bytes object, the
 * function's own, rewritten each time.  That is safe while no one else holds
 * it: int.from_bytes neither keeps nor hashes its argument, and the reference
 * count is checked before every reuse (another holder gets it unchanged, and
 * the function a new one).  The three objects are made at the first call and
 * kept for the life of the process. */
static inline PyObject *uuid_words_to_int(uint64_t high, uint64_t low) {
    static PyObject *from_bytes = nullptr;  // int.from_bytes, bound to int
    static PyObject *big = nullptr;
    static PyObject *scratch = nullptr;
    if (from_bytes == nullptr) {
        big = big != nullptr ? big : PyUnicode_InternFromString("big");
        if (big == nullptr) {
            return nullptr;
        }
        from_bytes = PyObject_GetAttrString(reinterpret_cast<PyObject *>(&PyLong_Type), "from_bytes");
        if (from_bytes == nullptr) {
            return nullptr;
        }
    }
    if (scratch == nullptr || Py_REFCNT(scratch) != 1) {
        Py_XDECREF(scratch);
        scratch = PyBytes_FromStringAndSize(nullptr, 16);
        if (scratch == nullptr) {
            return nullptr;
        }
    }
    write_uuid7_words(reinterpret_cast<unsigned char *>(PyBytes_AsString(scratch)), high, low);
    return PyObject_CallFunctionObjArgs(from_bytes, scratch, big, nullptr);
}
#endif

#endif /* TEMBREL_INTERPRETER_API_H */
