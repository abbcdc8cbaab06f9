// Helpers shared by the package's extension modules: an owning reference,
// argument checks and argument parsing that raise the interpreter's own
// messages, and typed buffer acquisition.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

namespace zv {

// ---------------------------------------------------------------------------
// Owning strong reference. Constructing from a raw pointer steals it;
// Ref::borrow() takes a new reference. Null means "no object / error".
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject *stolen) noexcept : p_(stolen) {}
    static Ref borrow(PyObject *o) noexcept { Py_XINCREF(o); return Ref(o); }

    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref &operator=(Ref &&o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject *get() const noexcept { return p_; }
    PyObject *release() noexcept { PyObject *r = p_; p_ = nullptr; return r; }
    void reset(PyObject *stolen = nullptr) noexcept {
        PyObject *old = p_;
        p_ = stolen;
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject *p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Argument checks.

// TypeError "Argument '<name>' has incorrect type (expected <type>, got <type>)".
// `exact` refuses subclasses (str parameters); None passes when `none_ok`.
inline bool check_arg_type(PyObject *obj, PyTypeObject *type, const char *name,
                           bool none_ok, bool exact) {
    if (none_ok && obj == Py_None) return true;
    if (exact ? Py_IS_TYPE(obj, type) : PyObject_TypeCheck(obj, type)) return true;
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, type->tp_name, Py_TYPE(obj)->tp_name);
    return false;
}

// A text parameter: exactly str, or None.
inline bool check_str_arg(PyObject *obj, const char *name) {
    return check_arg_type(obj, &PyUnicode_Type, name, true, true);
}

// TypeError "Expected <expected>, got <type>" (typed assignment of a value).
inline bool check_value_type(PyObject *obj, PyTypeObject *type, const char *expected,
                             bool none_ok, bool exact) {
    if (none_ok && obj == Py_None) return true;
    if (exact ? Py_IS_TYPE(obj, type) : PyObject_TypeCheck(obj, type)) return true;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected,
                 Py_TYPE(obj)->tp_name);
    return false;
}

// ---------------------------------------------------------------------------
// Argument parsing for METH_VARARGS | METH_KEYWORDS functions and tp_init,
// with the messages of compiled Python functions:
//   "<f>() takes exactly|at least|at most N positional argument[s] (M given)"
//   "<f>() got an unexpected keyword argument '<k>'"
//   "<f>() got multiple values for keyword argument '<k>'"
//   "<f>() keywords must be strings"
// `names` has `nmax` entries; the first `nreq` are required. On success the
// borrowed values (or nullptr for an absent optional one) are in `out`.

inline void raise_argtuple_invalid(const char *fname, Py_ssize_t nmin, Py_ssize_t nmax,
                                   Py_ssize_t found) {
    Py_ssize_t expected;
    const char *more_or_less;
    if (found < nmin) {
        expected = nmin;
        more_or_less = "at least";
    } else {
        expected = nmax;
        more_or_less = "at most";
    }
    if (nmin == nmax) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 fname, more_or_less, expected, expected == 1 ? "" : "s", found);
}

inline bool parse_args(const char *fname, PyObject *args, PyObject *kwargs,
                       const char *const *names, Py_ssize_t nreq, Py_ssize_t nmax,
                       PyObject **out) {
    const Py_ssize_t npos = args ? PyTuple_GET_SIZE(args) : 0;
    const bool have_kw = kwargs && PyDict_GET_SIZE(kwargs) > 0;
    if (npos > nmax || (!have_kw && npos < nreq)) {
        raise_argtuple_invalid(fname, nreq, nmax, npos);
        return false;
    }
    for (Py_ssize_t i = 0; i < nmax; ++i) out[i] = i < npos ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (have_kw) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", fname);
                return false;
            }
            Py_ssize_t idx = -1;
            for (Py_ssize_t i = 0; i < nmax; ++i) {
                if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
                    idx = i;
                    break;
                }
            }
            if (idx < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             fname, key);
                return false;
            }
            if (idx < npos) {
                PyErr_Format(PyExc_TypeError,
                             "%s() got multiple values for keyword argument '%U'", fname, key);
                return false;
            }
            out[idx] = value;
        }
        for (Py_ssize_t i = npos; i < nreq; ++i) {
            if (!out[i]) {
                raise_argtuple_invalid(fname, nreq, nmax, i);
                return false;
            }
        }
    }
    return true;
}

// A function that takes no arguments at all (tp_init of argument-less types).
inline bool parse_no_args(const char *fname, PyObject *args, PyObject *kwargs) {
    return parse_args(fname, args, kwargs, nullptr, 0, 0, nullptr);
}

// ---------------------------------------------------------------------------
// Typed buffer acquisition (format and strides; no contiguity or write access
// demanded). Checks, in this order, with the messages of typed buffers:
//   "Buffer has wrong number of dimensions (expected %d, got %d)"
//   "Buffer dtype mismatch, expected '<ctype>' but got <description>"

// Skips a byte-order or native-size prefix ("@", "=", "<", ">", "!").
inline const char *skip_byte_order(const char *fmt) {
    while (*fmt && std::strchr("@=<>!", *fmt)) ++fmt;
    return fmt;
}

// Human-readable name of a struct-module format code, as typed buffers
// report it. A "Z" prefix marks the complex floating types.
inline const char *describe_format(const char *fmt) {
    struct Name {
        char code;
        const char *name;
        const char *complex_name;  // after "Z"; nullptr: the same name
    };
    static const Name names[] = {
        {'c', "'char'", nullptr},
        {'b', "'signed char'", nullptr},
        {'B', "'unsigned char'", nullptr},
        {'h', "'short'", nullptr},
        {'H', "'unsigned short'", nullptr},
        {'i', "'int'", nullptr},
        {'I', "'unsigned int'", nullptr},
        {'l', "'long'", nullptr},
        {'L', "'unsigned long'", nullptr},
        {'q', "'long long'", nullptr},
        {'Q', "'unsigned long long'", nullptr},
        {'f', "'float'", "'complex float'"},
        {'d', "'double'", "'complex double'"},
        {'g', "'long double'", "'complex long double'"},
        {'e', "'half'", nullptr},
        {'?', "'bool'", nullptr},
        {'T', "a struct", nullptr},
        {'O', "Python object", nullptr},
        {'P', "a pointer", nullptr},
        {'s', "a string", nullptr},
        {'p', "a string", nullptr},
    };
    fmt = skip_byte_order(fmt);
    const bool complex = *fmt == 'Z';
    if (complex) ++fmt;
    if (!*fmt) return "end";
    for (const Name &n : names) {
        if (n.code == *fmt) return complex && n.complex_name ? n.complex_name : n.name;
    }
    return "unparseable format string";
}

// True when `fmt` is the single format code `code` with an optional byte
// order or native-size prefix ("B", "=B", "<B", ...).
inline bool format_is(const char *fmt, char code) {
    if (!fmt) return code == 'B';  // no format given means unsigned bytes
    fmt = skip_byte_order(fmt);
    return fmt[0] == code && fmt[1] == 0;
}

// A held buffer, released when it goes out of scope.
class Buffer {
public:
    Buffer() noexcept { std::memset(&view_, 0, sizeof view_); }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() { release(); }

    // Acquire `obj` as an `ndim`-dimensional buffer of elements with the
    // format code `code` (C type `ctype` in the messages).
    bool acquire(PyObject *obj, int ndim, char code, const char *ctype, Py_ssize_t itemsize) {
        release();
        if (PyObject_GetBuffer(obj, &view_, PyBUF_FORMAT | PyBUF_STRIDES) < 0) return false;
        held_ = true;
        if (view_.ndim != ndim) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer has wrong number of dimensions (expected %d, got %d)", ndim,
                         view_.ndim);
            release();
            return false;
        }
        if (!format_is(view_.format, code)) {
            PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s",
                         "'", ctype, "'", describe_format(view_.format ? view_.format : "B"));
            release();
            return false;
        }
        if (view_.itemsize != itemsize) {
            PyErr_Format(PyExc_ValueError,
                         "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                         view_.itemsize, view_.itemsize > 1 ? "s" : "", ctype, itemsize,
                         itemsize > 1 ? "s" : "");
            release();
            return false;
        }
        return true;
    }

    bool acquire_u8(PyObject *obj, int ndim) { return acquire(obj, ndim, 'B', "uint8_t", 1); }

    void release() noexcept {
        if (held_) {
            PyBuffer_Release(&view_);
            held_ = false;
        }
    }

    bool held() const noexcept { return held_; }
    const Py_buffer &view() const noexcept { return view_; }
    const char *data() const noexcept { return static_cast<const char *>(view_.buf); }
    Py_ssize_t shape(int i) const noexcept { return view_.shape[i]; }
    Py_ssize_t stride(int i) const noexcept { return view_.strides[i]; }

private:
    Py_buffer view_;
    bool held_ = false;
};

// ---------------------------------------------------------------------------
// Exceptions.

// Takes the pending exception out of the error indicator, normalised and with
// its traceback attached (new reference; nullptr when none is pending).
inline PyObject *take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Makes `exc` (consumed; may be nullptr) the pending exception again.
inline void restore_exception(PyObject *exc) {
    if (!exc) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(exc))), exc,
                  PyException_GetTraceback(exc));
#endif
}

// Holds the pending exception (if any) while cleanup code that must run with
// no error set does its work. When the guard ends, errors raised by that
// cleanup are discarded and the held exception is pending again, unless it
// was released or discarded first.
class PendingError {
public:
    PendingError() noexcept : exc_(take_exception()) {}
    PendingError(const PendingError &) = delete;
    PendingError &operator=(const PendingError &) = delete;
    ~PendingError() { restore(); }

    explicit operator bool() const noexcept { return exc_ != nullptr; }
    PyObject *get() const noexcept { return exc_; }

    // Clears whatever the cleanup raised and makes the held exception
    // pending again (nothing is pending when none was held).
    void restore() noexcept {
        if (!active_) return;
        active_ = false;
        PyErr_Clear();
        restore_exception(exc_);
        exc_ = nullptr;
    }

    // An error raised since the guard was made wins, with the held exception
    // as its __context__; when none was raised the held one comes back.
    void restore_chained() noexcept {
        if (active_ && exc_ && PyErr_Occurred()) {
            PyObject *later = take_exception();
            PyException_SetContext(later, release());  // steals the reference
            restore_exception(later);
            return;
        }
        restore();
    }

    // Hands the held exception (new reference, may be nullptr) to the caller
    // and leaves the error indicator alone from now on.
    PyObject *release() noexcept {
        active_ = false;
        PyObject *exc = exc_;
        exc_ = nullptr;
        return exc;
    }

    // Drops the held exception and leaves the error indicator alone.
    void discard() noexcept { Py_XDECREF(release()); }

private:
    PyObject *exc_;
    bool active_ = true;
};

// ---------------------------------------------------------------------------
// Module import helpers.

// `from <module> import <name>`, with ImportError "cannot import name <name>"
// when the module lacks the name.
inline PyObject *import_from(const char *module, const char *name) {
    Ref mod(PyImport_ImportModule(module));
    if (!mod) return nullptr;
    PyObject *value = PyObject_GetAttrString(mod.get(), name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        Ref uname(PyUnicode_FromString(name));
        if (uname) PyErr_Format(PyExc_ImportError, "cannot import name %S", uname.get());
    }
    return value;
}

// Bind `import <module>` (or `import <module> as <alias>`) in `m`.
inline bool import_into(PyObject *m, const char *module, const char *alias = nullptr) {
    PyObject *mod = PyImport_ImportModule(module);
    if (!mod) return false;
    return PyModule_AddObject(m, alias ? alias : module, mod) == 0 || (Py_DECREF(mod), false);
}

}  // namespace zv
