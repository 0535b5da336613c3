/* The floor under every clock-driven identifier, as Python builtins: one
 * clock_gettime(CLOCK_REALTIME), one 8-byte draw from a pool of /dev/urandom
 * refilled 4096 bytes at a time, and the result built as simply as possible,
 * with no monotonic state, no fork check and no layout: one builtin per result
 * type, timed beside the module's functions by bench/compare.py.
 *
 *   clock_draw_bytes()              16 new bytes
 *   clock_draw_str()                36-character ASCII text
 *   clock_draw_int()                a 128-bit int
 *   clock_draw_obj()                an object of a 32-byte native type
 *   clock_draw_uuid(cls, is_safe)   a cls instance, int and is_safe set
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <fcntl.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static unsigned char pool[4096];
static size_t pool_offset = sizeof pool;
static int urandom_fd = -1;
static PyObject *int_name;
static PyObject *is_safe_name;

/* One clock read in Unix milliseconds and one 8-byte draw from the pool,
 * refilled 4096 bytes at a time: 0, or -1 with an exception. */
static int clock_and_draw(uint64_t *unix_ms, uint64_t *random_value) {
    struct timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    *unix_ms = (uint64_t)ts.tv_sec * 1000 + (uint64_t)ts.tv_nsec / 1000000;
    if (pool_offset + 8 > sizeof pool) {
        if ((urandom_fd < 0 && (urandom_fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC)) < 0) ||
            read(urandom_fd, pool, sizeof pool) != (ssize_t)sizeof pool) {
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
        pool_offset = 0;
    }
    memcpy(random_value, pool + pool_offset, 8);
    pool_offset += 8;
    return 0;
}

static PyObject *clock_draw_bytes(PyObject *module, PyObject *unused) {
    (void)module;
    (void)unused;
    uint64_t words[2];
    if (clock_and_draw(&words[0], &words[1]) != 0) {
        return NULL;
    }
    return PyBytes_FromStringAndSize((const char *)words, 16);
}

static PyObject *clock_draw_str(PyObject *module, PyObject *unused) {
    (void)module;
    (void)unused;
    static const char digits[] = "0123456789abcdef";
    uint64_t words[2];
    if (clock_and_draw(&words[0], &words[1]) != 0) {
        return NULL;
    }
    PyObject *result = PyUnicode_New(36, 127);
    if (result == NULL) {
        return NULL;
    }
    char *text = (char *)PyUnicode_DATA(result);
    const unsigned char *bytes = (const unsigned char *)words;
    for (int i = 0, j = 0; i < 16; ++i) {
        if (j == 8 || j == 13 || j == 18 || j == 23) {
            text[j++] = '-';
        }
        text[j++] = digits[bytes[i] >> 4];
        text[j++] = digits[bytes[i] & 15];
    }
    return result;
}

static PyObject *clock_draw_int(PyObject *module, PyObject *unused) {
    (void)module;
    (void)unused;
    uint64_t words[2];
    if (clock_and_draw(&words[1], &words[0]) != 0) {
        return NULL;
    }
    return PyLong_FromUnsignedNativeBytes(words, 16, Py_ASNATIVEBYTES_LITTLE_ENDIAN);
}

typedef struct {
    PyObject ob_base;
    uint64_t high;
    uint64_t low;
} FloorObject;

static PyTypeObject FloorType = {
    // clang-format off
    .ob_base = PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "floor_module.FloorObject",
    // clang-format on
    .tp_basicsize = sizeof(FloorObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
};

static PyObject *clock_draw_obj(PyObject *module, PyObject *unused) {
    (void)module;
    (void)unused;
    FloorObject *result = PyObject_New(FloorObject, &FloorType);
    if (result == NULL) {
        return NULL;
    }
    if (clock_and_draw(&result->high, &result->low) != 0) {
        Py_DECREF(result);
        return NULL;
    }
    return (PyObject *)result;
}

static PyObject *clock_draw_uuid(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    (void)module;
    if (nargs != 2 || !PyType_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "clock_draw_uuid(cls, is_safe)");
        return NULL;
    }
    uint64_t words[2];
    if (clock_and_draw(&words[1], &words[0]) != 0) {
        return NULL;
    }
    PyObject *value = PyLong_FromUnsignedNativeBytes(words, 16, Py_ASNATIVEBYTES_LITTLE_ENDIAN);
    if (value == NULL) {
        return NULL;
    }
    PyObject *result = PyType_GenericAlloc((PyTypeObject *)args[0], 0);
    if (result == NULL || PyObject_GenericSetAttr(result, int_name, value) != 0 ||
        PyObject_GenericSetAttr(result, is_safe_name, args[1]) != 0) {
        Py_XDECREF(result);
        Py_DECREF(value);
        return NULL;
    }
    Py_DECREF(value);
    return result;
}

static PyMethodDef methods[] = {
    {"clock_draw_bytes", clock_draw_bytes, METH_NOARGS, NULL},
    {"clock_draw_str", clock_draw_str, METH_NOARGS, NULL},
    {"clock_draw_int", clock_draw_int, METH_NOARGS, NULL},
    {"clock_draw_obj", clock_draw_obj, METH_NOARGS, NULL},
    {"clock_draw_uuid", (PyCFunction)(void (*)(void))clock_draw_uuid, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "floor_module", NULL, -1, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_floor_module(void) {
    int_name = PyUnicode_InternFromString("int");
    is_safe_name = PyUnicode_InternFromString("is_safe");
    if (int_name == NULL || is_safe_name == NULL || PyType_Ready(&FloorType) < 0) {
        return NULL;
    }
    return PyModule_Create(&module_def);
}
