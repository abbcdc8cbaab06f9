// SuppressStderr: a context manager that points the process's standard-error
// descriptor at the null device for the duration of a `with` block. All
// descriptor work goes through the module's `os`, and the descriptor of
// standard error is asked from `sys.stderr.fileno()` every time it is needed.
// Both halves are best effort: they swallow their own errors.
#include "zorvane_robj_d_internal.hpp"

#include <climits>

namespace zvd {
namespace {

// os.<attr>(args...), looked up through the module's `os` at each call.
PyObject *call_os(PyObject *attr, PyObject *a, PyObject *b = nullptr) {
    zv::Ref os(module_global(n.os));
    if (!os) return nullptr;
    zv::Ref func(PyObject_GetAttr(os.get(), attr));
    if (!func) return nullptr;
    PyObject *args[2] = {a, b};
    return PyObject_Vectorcall(func.get(), args, b ? 2 : 1, nullptr);
}

// sys.stderr.fileno(), afresh.
PyObject *stderr_fileno() {
    zv::Ref sys(module_global(n.sys));
    if (!sys) return nullptr;
    zv::Ref err(PyObject_GetAttr(sys.get(), n.stderr_));
    if (!err) return nullptr;
    return PyObject_CallMethodNoArgs(err.get(), n.fileno);
}

bool as_fd(PyObject *obj, int *out) {
    long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < INT_MIN || v > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

// Closes a descriptor held in `slot` through os.close and marks it as gone.
bool close_fd(int *slot) {
    zv::Ref fd(PyLong_FromLong(*slot));
    if (!fd) return false;
    zv::Ref r(call_os(n.close, fd.get()));
    if (!r) return false;
    *slot = -1;
    return true;
}

bool enter_steps(SuppressStderrObject *self) {
    zv::Ref fd(stderr_fileno());
    if (!fd) return false;
    zv::Ref saved(call_os(n.dup, fd.get()));
    if (!saved || !as_fd(saved.get(), &self->saved_stderr_fd)) return false;

    zv::Ref os(module_global(n.os));
    if (!os) return false;
    zv::Ref path(PyObject_GetAttr(os.get(), n.devnull));
    if (!path) return false;
    zv::Ref flags(PyObject_GetAttr(os.get(), n.O_WRONLY));
    if (!flags) return false;
    zv::Ref devnull(call_os(n.open, path.get(), flags.get()));
    if (!devnull || !as_fd(devnull.get(), &self->devnull_fd)) return false;

    zv::Ref target(stderr_fileno());
    if (!target) return false;
    zv::Ref r(call_os(n.dup2, devnull.get(), target.get()));
    return bool(r);
}

bool exit_steps(SuppressStderrObject *self) {
    if (self->saved_stderr_fd < 0) return true;  // nothing was redirected
    zv::Ref target(stderr_fileno());
    if (!target) return false;
    zv::Ref saved(PyLong_FromLong(self->saved_stderr_fd));
    if (!saved) return false;
    zv::Ref r(call_os(n.dup2, saved.get(), target.get()));
    if (!r) return false;
    if (self->devnull_fd >= 0 && !close_fd(&self->devnull_fd)) return false;
    return close_fd(&self->saved_stderr_fd);
}

}  // namespace

void suppress_stderr_enter(SuppressStderrObject *self) {
    if (!enter_steps(self)) PyErr_Clear();
}

void suppress_stderr_exit(SuppressStderrObject *self) {
    if (!exit_steps(self)) PyErr_Clear();
}

namespace {

PyObject *ss_new(PyTypeObject *type, PyObject *, PyObject *) {
    auto *self = reinterpret_cast<SuppressStderrObject *>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->saved_stderr_fd = -1;
    self->devnull_fd = -1;
    return reinterpret_cast<PyObject *>(self);
}

int ss_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int ss_clear(PyObject *) { return 0; }

void ss_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *ss_enter(PyObject *self, PyObject *) {
    // Runs with any pending error state of the caller untouched.
    suppress_stderr_enter(reinterpret_cast<SuppressStderrObject *>(self));
    return Py_NewRef(self);
}

PyObject *ss_exit(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *const names[] = {"exc_type", "exc_val", "exc_tb"};
    PyObject *values[3];
    if (!zv::parse_args("__exit__", args, kwargs, names, 3, 3, values)) return nullptr;
    suppress_stderr_exit(reinterpret_cast<SuppressStderrObject *>(self));
    Py_RETURN_FALSE;
}

PyMethodDef ss_methods[] = {
    {"__enter__", ss_enter, METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(ss_exit)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot ss_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(ss_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(ss_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(ss_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(ss_clear)},
    {Py_tp_methods, ss_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec suppress_stderr_type_def = {
    "zorvane_road_objects.zorvane_robj_d.SuppressStderr",
    sizeof(SuppressStderrObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    ss_slots,
};

}  // namespace zvd
