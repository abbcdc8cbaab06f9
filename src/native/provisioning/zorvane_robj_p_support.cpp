// Model provisioning: small helpers for the download operation (settings,
// console messages, caught exceptions, text files) and the per-model lock
// file that serialises downloads between threads and processes.
#include "zorvane_robj_p_internal.hpp"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace zvp {

// ---------------------------------------------------------------------------
// Caught exceptions.

// True when the pending exception belongs to the `Exception` hierarchy, the
// errors that the download steps handle; KeyboardInterrupt and SystemExit
// are left to pass.
bool pending_is_exception() {
    return PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_Exception);
}

// str(exc) cut to its first `n` characters.
PyObject *error_text(PyObject *exc, Py_ssize_t n) {
    zv::Ref s(PyObject_Str(exc));
    if (!s) return nullptr;
    if (PyUnicode_GET_LENGTH(s.get()) <= n) return s.release();
    return PyUnicode_Substring(s.get(), 0, n);
}

// ---------------------------------------------------------------------------
// Integers held in 32 bits.

bool as_int32(PyObject *num, int *out) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(num, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v > INT_MAX || v < INT_MIN) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

// int(x) held in 32 bits.
bool int32_of(PyObject *x, int *out) {
    zv::Ref num(PyNumber_Long(x));
    return num && as_int32(num.get(), out);
}

// An integer setting from the environment: int() of its text (default "0"),
// 0 when the text is not an integer, OverflowError when it does not fit.
bool read_setting(PyObject *os, const char *name, int *out) {
    zv::Ref env(PyObject_GetAttrString(os, "environ"));
    if (!env) return false;
    zv::Ref text(PyObject_CallMethod(env.get(), "get", "ss", name, "0"));
    if (!text) return false;
    zv::Ref num(PyNumber_Long(text.get()));
    if (!num) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
        PyErr_Clear();
        *out = 0;
        return true;
    }
    return as_int32(num.get(), out);
}

// ---------------------------------------------------------------------------
// Number formatting as Python's "{:.Nf}".

PyObject *fixed(double x, int decimals) {
    char *s = PyOS_double_to_string(x, 'f', decimals, 0, nullptr);
    if (!s) return nullptr;
    PyObject *r = PyUnicode_FromString(s);
    PyMem_Free(s);
    return r;
}

// A size as whole mebibytes: integer division, shown with one decimal.
PyObject *whole_mib(int size) { return fixed(static_cast<double>(size / 1048576), 1); }

// ---------------------------------------------------------------------------
// Console messages.

PyObject *builtin(const char *name) {
    PyObject *b = PyEval_GetBuiltins();
    PyObject *f = b ? PyDict_GetItemString(b, name) : nullptr;
    if (!f) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        return nullptr;
    }
    return Py_NewRef(f);
}

// One line on standard output through print(): bright cyan, the
// "[DOWNLOAD] " prefix, the message (a PyUnicode_FromFormat format and its
// arguments), reset.
bool print_message_v(const char *fmt, va_list ap) {
    zv::Ref msg(PyUnicode_FromFormatV(fmt, ap));
    if (!msg) return false;
    zv::Ref line(PyUnicode_FromFormat("\x1b[96m[DOWNLOAD] %U\x1b[0m", msg.get()));
    if (!line) return false;
    zv::Ref print(builtin("print"));
    if (!print) return false;
    zv::Ref r(PyObject_CallOneArg(print.get(), line.get()));
    return static_cast<bool>(r);
}

// ---------------------------------------------------------------------------
// Text files, through the built-in open().

// Closes `f`, keeping an exception that is already pending.
static bool close_file(PyObject *f) {
    if (PyErr_Occurred()) {
        zv::PendingError pending;
        zv::Ref r(PyObject_CallMethod(f, "close", nullptr));
        return false;
    }
    zv::Ref r(PyObject_CallMethod(f, "close", nullptr));
    return static_cast<bool>(r);
}

PyObject *open_file(PyObject *path, const char *mode) {
    zv::Ref open(builtin("open"));
    if (!open) return nullptr;
    return PyObject_CallFunction(open.get(), "Os", path, mode);
}

// The whole text of `path` (mode "r"), surrounding whitespace stripped.
PyObject *read_text_stripped(PyObject *path) {
    zv::Ref f(open_file(path, "r"));
    if (!f) return nullptr;
    zv::Ref text(PyObject_CallMethod(f.get(), "read", nullptr));
    zv::Ref stripped(text ? PyObject_CallMethod(text.get(), "strip", nullptr) : nullptr);
    if (!close_file(f.get())) return nullptr;
    return stripped.release();
}

// Replaces the contents of `path` with `text` (mode "w").
bool write_text(PyObject *path, PyObject *text) {
    zv::Ref f(open_file(path, "w"));
    if (!f) return false;
    zv::Ref r(PyObject_CallMethod(f.get(), "write", "O", text));
    return close_file(f.get()) && r;
}

// ---------------------------------------------------------------------------
// Lock file. While one call holds the lock of a model file, other calls for
// the same file (other threads or processes) wait before they look at the
// cached copy, so that only one of them downloads and the temporary and
// timestamp files have a single writer. The operating system drops the lock
// when its holder exits, so a crashed download never blocks the next one.
// Where no lock can be had (a file system without locks, a directory that
// cannot hold the lock file) the call goes on without it. Waiting is bounded:
// the caller decides what to do when the holder keeps the lock too long.

namespace {

using LockClock = std::chrono::steady_clock;

// Whether `wait_s` seconds from `start` have passed; otherwise sleeps a
// moment with the GIL released.
bool waited_out(LockClock::time_point start, double wait_s) {
    if (std::chrono::duration<double>(LockClock::now() - start).count() >= wait_s) return true;
    Py_BEGIN_ALLOW_THREADS
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Py_END_ALLOW_THREADS
    return false;
}

}  // namespace

// Takes the lock of `path`, waiting at most `wait_s` seconds for its holder.
// `*token` is null unless a lock is held.
int lock_acquire(PyObject *path, double wait_s, void **token) {
    *token = nullptr;
    const LockClock::time_point start = LockClock::now();
#ifdef _WIN32
    wchar_t *wpath = PyUnicode_AsWideCharString(path, nullptr);
    if (!wpath) {
        PyErr_Clear();
        return 1;
    }
    HANDLE h;
    Py_BEGIN_ALLOW_THREADS
    h = CreateFileW(wpath, GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    Py_END_ALLOW_THREADS
    PyMem_Free(wpath);
    if (h == INVALID_HANDLE_VALUE) return 1;
    for (;;) {
        OVERLAPPED ov = {};
        if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &ov)) break;
        DWORD err = GetLastError();
        if (err != ERROR_LOCK_VIOLATION && err != ERROR_IO_PENDING) {
            CloseHandle(h);
            return 1;
        }
        if (waited_out(start, wait_s)) {
            CloseHandle(h);
            return 0;
        }
        if (PyErr_CheckSignals() < 0) {
            CloseHandle(h);
            return -1;
        }
    }
    *token = h;
    return 1;
#else
    zv::Ref encoded(PyUnicode_EncodeFSDefault(path));
    if (!encoded) {
        PyErr_Clear();
        return 1;
    }
    const char *cpath = PyBytes_AS_STRING(encoded.get());
    int fd;
    Py_BEGIN_ALLOW_THREADS
    fd = open(cpath, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    Py_END_ALLOW_THREADS
    if (fd < 0) return 1;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) break;
        int err = errno;
        if (err != EWOULDBLOCK && err != EAGAIN && err != EINTR) {
            close(fd);
            return 1;
        }
        if (err != EINTR && waited_out(start, wait_s)) {
            close(fd);
            return 0;
        }
        // Run the Python handler of a signal that came meanwhile (Ctrl-C raises).
        if (PyErr_CheckSignals() < 0) {
            close(fd);
            return -1;
        }
    }
    *token = reinterpret_cast<void *>(static_cast<intptr_t>(fd) + 1);
    return 1;
#endif
}

// Drops a lock taken by lock_acquire (a null token is no lock).
void lock_release(void *token) {
    if (!token) return;
#ifdef _WIN32
    CloseHandle(static_cast<HANDLE>(token));
#else
    close(static_cast<int>(reinterpret_cast<intptr_t>(token) - 1));
#endif
}

}  // namespace zvp
