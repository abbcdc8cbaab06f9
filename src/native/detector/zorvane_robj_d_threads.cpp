// The session's thread setting: the keyword-only `threads` argument of both
// constructors and its fallback, the environment variable
// ZORVANE_ROBJ_THREADS. A positive count n gives the session
// SessionOptions with n intra-op threads and one inter-op thread; no count
// leaves the session to ONNX Runtime's defaults (no options passed).
#include "zorvane_robj_d_internal.hpp"

#include <climits>
#include <string>

namespace zvd {

bool parse_threads(PyObject *arg, int32_t *out) {
    if (!arg || arg == Py_None) {
        *out = 0;
        return true;
    }
    if (PyBool_Check(arg) || !PyIndex_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "threads must be a positive int or None, not %.200s",
                     Py_TYPE(arg)->tp_name);
        return false;
    }
    zv::Ref value(PyNumber_Index(arg));
    if (!value) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v < 1 || v > INT32_MAX) {
        PyErr_Format(PyExc_ValueError,
                     "threads must be a positive int (1 to %d), got %R", INT32_MAX, value.get());
        return false;
    }
    *out = static_cast<int32_t>(v);
    return true;
}

bool split_threads_kwarg(PyObject **kwargs, zv::Ref *holder, PyObject **value) {
    *value = nullptr;
    if (!*kwargs) return true;
    PyObject *found = PyDict_GetItemWithError(*kwargs, n.threads);
    if (!found) return !PyErr_Occurred();
    zv::Ref rest(PyDict_Copy(*kwargs));
    if (!rest || PyDict_DelItem(rest.get(), n.threads) < 0) return false;
    *value = found;  // still owned by the caller's dict
    *holder = std::move(rest);
    *kwargs = holder->get();
    return true;
}

namespace {

// The text of ZORVANE_ROBJ_THREADS from the module's `os.environ`; nullptr
// when it is unset or cannot be read (reading is best effort).
PyObject *threads_env_text() {
    zv::Ref os(module_global(n.os));
    zv::Ref env(os ? PyObject_GetAttr(os.get(), n.environ_) : nullptr);
    PyObject *text = env ? PyObject_GetItem(env.get(), n.threads_env) : nullptr;
    if (!text || !PyUnicode_Check(text)) {
        Py_XDECREF(text);
        PyErr_Clear();
        return nullptr;
    }
    return text;
}

// A decimal count 1 .. INT32_MAX, blanks around it allowed.
bool parse_count(const char *s, int32_t *out) {
    while (*s == ' ' || *s == '\t') ++s;
    long long v = 0;
    int digits = 0;
    for (; *s >= '0' && *s <= '9'; ++s, ++digits) {
        v = v * 10 + (*s - '0');
        if (v > INT32_MAX) return false;
    }
    while (*s == ' ' || *s == '\t') ++s;
    if (*s || !digits || v < 1) return false;
    *out = static_cast<int32_t>(v);
    return true;
}

}  // namespace

// The count from the environment, 0 when unset or empty. A value that is not
// a positive count is warned about (once per distinct value) and ignored;
// -1 only when the warning itself was turned into an error.
int32_t threads_from_env() {
    zv::Ref text(threads_env_text());
    if (!text) return 0;
    const char *s = PyUnicode_AsUTF8(text.get());
    if (!s) {
        PyErr_Clear();
        return 0;
    }
    if (!*s) return 0;
    int32_t count = 0;
    if (parse_count(s, &count)) return count;
    static std::string last_warned;
    if (last_warned == s) return 0;
    last_warned = s;
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "ignoring %s=%R: not a positive integer", zv_facts::env_threads,
                         text.get()) < 0) {
        return -1;
    }
    return 0;
}

// onnxruntime.SessionOptions() with `threads` intra-op threads and one
// inter-op thread.
PyObject *session_options(int32_t threads) {
    zv::Ref ort(module_global(n.onnxruntime));
    if (!ort) return nullptr;
    zv::Ref cls(PyObject_GetAttr(ort.get(), n.SessionOptions));
    if (!cls) return nullptr;
    zv::Ref opts(PyObject_CallNoArgs(cls.get()));
    if (!opts) return nullptr;
    zv::Ref intra(PyLong_FromLong(threads));
    if (!intra || PyObject_SetAttr(opts.get(), n.intra_op_num_threads, intra.get()) < 0) {
        return nullptr;
    }
    zv::Ref one(PyLong_FromLong(1));
    if (!one || PyObject_SetAttr(opts.get(), n.inter_op_num_threads, one.get()) < 0) {
        return nullptr;
    }
    return opts.release();
}

}  // namespace zvd
