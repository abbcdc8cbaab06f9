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
#ifndef NOMINMAX
#define NOMINMAX  // keep std::min and std::max usable
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
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

// `text` as sys.stdout can show it: what its encoding cannot hold replaced
// by that encoding's replacement character.
static PyObject *as_stdout_can_show(PyObject *text) {
    PyObject *out = PySys_GetObject("stdout");  // borrowed
    if (!out) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.stdout");
        return nullptr;
    }
    zv::Ref encoding(PyObject_GetAttrString(out, "encoding"));
    const char *enc = encoding ? PyUnicode_AsUTF8(encoding.get()) : nullptr;
    if (!enc) return nullptr;
    zv::Ref bytes(PyUnicode_AsEncodedString(text, enc, "replace"));
    return bytes ? PyUnicode_FromEncodedObject(bytes.get(), enc, "strict") : nullptr;
}

// One line on standard output through print(): bright cyan, the
// "[DOWNLOAD] " prefix, the message (a PyUnicode_FromFormat format and its
// arguments), reset. An output whose encoding lacks a character of the
// message (a console code page such as cp1252, which Windows gives a
// redirected standard output) gets the line with that character replaced,
// rather than a failed download.
bool print_message_v(const char *fmt, va_list ap) {
    zv::Ref msg(PyUnicode_FromFormatV(fmt, ap));
    if (!msg) return false;
    zv::Ref line(PyUnicode_FromFormat("\x1b[96m[DOWNLOAD] %U\x1b[0m", msg.get()));
    if (!line) return false;
    zv::Ref print(builtin("print"));
    if (!print) return false;
    zv::Ref r(PyObject_CallOneArg(print.get(), line.get()));
    if (r || !PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return static_cast<bool>(r);
    PyErr_Clear();
    zv::Ref shown(as_stdout_can_show(line.get()));
    if (!shown) return false;
    r.reset(PyObject_CallOneArg(print.get(), shown.get()));
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
// Replacing a file that may be in use.

namespace {

// The Windows errors of a file that another process holds open without
// delete sharing: access denied, sharing violation, lock violation.
bool is_file_in_use(PyObject *exc) {
    if (!PyErr_GivenExceptionMatches(exc, PyExc_PermissionError)) return false;
    if (!PyObject_HasAttrString(exc, "winerror")) return false;  // only Windows sets it
    zv::Ref code(PyObject_GetAttrString(exc, "winerror"));
    long v = code && PyLong_Check(code.get()) ? PyLong_AsLong(code.get()) : -1;
    PyErr_Clear();
    return v == 5 || v == 32 || v == 33;
}

}  // namespace

// os.replace(src, dst) through `os`. Windows refuses to replace a file that
// another process has open without delete sharing, as Python's open() and
// most readers open files, and virus scanners hold new files that way for a
// moment: such a refusal is tried again for at most `wait_s` seconds, then
// it stands and the caller keeps the old file. Any other error stands at
// once, and so does every error on systems that replace open files.
bool replace_file(PyObject *os, PyObject *src, PyObject *dst, double wait_s) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        zv::Ref done(PyObject_CallMethod(os, "replace", "OO", src, dst));
        if (done) return true;
        zv::Ref exc(take_exception());
        const double waited =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!exc || !is_file_in_use(exc.get()) || waited >= wait_s) {
            restore_exception(exc.release());
            return false;
        }
        Py_BEGIN_ALLOW_THREADS
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Py_END_ALLOW_THREADS
        if (PyErr_CheckSignals() < 0) return false;
    }
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

// One attempt at the lock: taken, held by another, interrupted by a signal
// (try again at once), or impossible on this file (go on without a lock).
enum class Attempt { taken, busy, interrupted, impossible };

#ifdef _WIN32
// Windows: a handle of the lock file and an exclusive LockFileEx on its first
// byte. The path is the str as UTF-16, so a data directory under a user
// profile with letters outside the ANSI code page works. The handle is not
// inherited by child processes, and the system drops the lock when the
// handle is closed or its process ends.
using LockFile = HANDLE;
const LockFile no_lock_file = INVALID_HANDLE_VALUE;

LockFile open_lock_file(PyObject *path) {
    wchar_t *wpath = PyUnicode_AsWideCharString(path, nullptr);
    if (!wpath) {
        PyErr_Clear();
        return no_lock_file;
    }
    HANDLE h;
    Py_BEGIN_ALLOW_THREADS
    h = CreateFileW(wpath, GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    Py_END_ALLOW_THREADS
    PyMem_Free(wpath);
    return h;
}

Attempt try_lock(LockFile h) {
    OVERLAPPED ov = {};
    if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &ov))
        return Attempt::taken;
    const DWORD err = GetLastError();
    return err == ERROR_LOCK_VIOLATION || err == ERROR_IO_PENDING ? Attempt::busy
                                                                   : Attempt::impossible;
}

// Unlocks before closing: the system frees the locks of a closed handle
// only when it gets to it, and the next caller should not wait for that.
void close_lock_file(LockFile h, bool locked) {
    if (locked) {
        OVERLAPPED ov = {};
        UnlockFileEx(h, 0, 1, 0, &ov);
    }
    CloseHandle(h);
}

void *token_of(LockFile h) { return h; }
LockFile file_of(void *token) { return static_cast<HANDLE>(token); }
#else
// POSIX: a descriptor of the lock file (closed on exec) and flock(), which
// the system drops when the descriptor is closed or its process ends.
using LockFile = int;
const LockFile no_lock_file = -1;

LockFile open_lock_file(PyObject *path) {
    zv::Ref encoded(PyUnicode_EncodeFSDefault(path));
    if (!encoded) {
        PyErr_Clear();
        return no_lock_file;
    }
    const char *cpath = PyBytes_AS_STRING(encoded.get());
    int fd;
    Py_BEGIN_ALLOW_THREADS
    fd = open(cpath, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    Py_END_ALLOW_THREADS
    return fd < 0 ? no_lock_file : fd;
}

Attempt try_lock(LockFile fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return Attempt::taken;
    const int err = errno;
    if (err == EINTR) return Attempt::interrupted;
    return err == EWOULDBLOCK || err == EAGAIN ? Attempt::busy : Attempt::impossible;
}

void close_lock_file(LockFile fd, bool) { close(fd); }

// Descriptor 0 is a valid one: the token is the descriptor plus one, so that
// a null token means no lock.
void *token_of(LockFile fd) { return reinterpret_cast<void *>(static_cast<intptr_t>(fd) + 1); }
LockFile file_of(void *token) { return static_cast<int>(reinterpret_cast<intptr_t>(token) - 1); }
#endif

}  // namespace

// Takes the lock of `path`, waiting at most `wait_s` seconds for its holder.
// `*token` is null unless a lock is held.
int lock_acquire(PyObject *path, double wait_s, void **token) {
    *token = nullptr;
    const LockClock::time_point start = LockClock::now();
    const LockFile file = open_lock_file(path);
    if (file == no_lock_file) return 1;
    for (;;) {
        const Attempt a = try_lock(file);
        if (a == Attempt::taken) break;
        if (a == Attempt::impossible) {
            close_lock_file(file, false);
            return 1;
        }
        if (a == Attempt::busy && waited_out(start, wait_s)) {
            close_lock_file(file, false);
            return 0;
        }
        // Run the Python handler of a signal that came meanwhile (Ctrl-C raises).
        if (PyErr_CheckSignals() < 0) {
            close_lock_file(file, false);
            return -1;
        }
    }
    *token = token_of(file);
    return 1;
}

// Drops a lock taken by lock_acquire (a null token is no lock).
void lock_release(void *token) {
    if (token) close_lock_file(file_of(token), true);
}

}  // namespace zvp
