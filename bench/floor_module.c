/* The floor as a Python builtin: what any extension function pays that makes
 * the two calls every clock-driven identifier needs (getpid() for fork
 * detection, clock_gettime(CLOCK_REALTIME) for the timestamp), without any
 * generator around them.  Built and imported by the benchmark harness.
 *
 *   calls()             the two calls, returns None
 *   calls_bytes()       the two calls, returns a new 16-byte bytes object
 *   calls_draw_bytes()  the same plus one 8-byte draw from a pool of
 *                       /dev/urandom refilled 4096 bytes at a time
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

static PyObject *calls(PyObject *module, PyObject *unused) {
    (void)module;
    (void)unused;
    struct timespec ts;
    if (getpid() < 0 || clock_gettime(CLOCK_REALTIME, &ts) != 0) {
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    Py_RETURN_NONE;
}

static PyObject *new_bytes(uint64_t a, uint64_t b) {
    PyObject *result = PyBytes_FromStringAndSize(NULL, 16);
    if (result != NULL) {
        memcpy(PyBytes_AS_STRING(result), &a, 8);
        memcpy(PyBytes_AS_STRING(result) + 8, &b, 8);
    }
    return result;
}

/* The two calls: 0 with *pid and *unix_ms set, or -1 with an exception. */
static int pid_and_clock(uint64_t *pid, uint64_t *unix_ms) {
    struct timespec ts;
    *pid = (uint64_t)getpid();
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    *unix_ms = (uint64_t)ts.tv_sec * 1000 + (uint64_t)ts.tv_nsec / 1000000;
    return 0;
}

static PyObject *calls_bytes(PyObject *module, PyObject *unused) {
    (void)module;
    (void)unused;
    uint64_t pid, unix_ms;
    if (pid_and_clock(&pid, &unix_ms) != 0) {
        return NULL;
    }
    return new_bytes(unix_ms, pid);
}

static PyObject *calls_draw_bytes(PyObject *module, PyObject *unused) {
    (void)module;
    (void)unused;
    uint64_t pid, unix_ms;
    if (pid_and_clock(&pid, &unix_ms) != 0) {
        return NULL;
    }
    if (pool_offset + 8 > sizeof pool) {
        if (urandom_fd < 0 && (urandom_fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC)) < 0) {
            return PyErr_SetFromErrno(PyExc_OSError);
        }
        if (read(urandom_fd, pool, sizeof pool) != (ssize_t)sizeof pool) {
            return PyErr_SetFromErrno(PyExc_OSError);
        }
        pool_offset = 0;
    }
    uint64_t random_value;
    memcpy(&random_value, pool + pool_offset, 8);
    pool_offset += 8;
    return new_bytes(unix_ms, random_value ^ pid);
}

static PyMethodDef methods[] = {
    {"calls", calls, METH_NOARGS, "getpid and clock_gettime, then None"},
    {"calls_bytes", calls_bytes, METH_NOARGS, "getpid and clock_gettime, then 16 new bytes"},
    {"calls_draw_bytes", calls_draw_bytes, METH_NOARGS, "getpid, clock_gettime and one 8-byte draw, then 16 new bytes"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "floor_module", NULL, -1, methods,
                                        NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_floor_module(void) {
    return PyModule_Create(&module_def);
}
