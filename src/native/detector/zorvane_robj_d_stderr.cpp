// SuppressStderr: a context manager that points the process's standard-error
// descriptor at the null device for the duration of a `with` block. All
// descriptor work goes through the module's `os`, and the descriptor of
// standard error is asked from `sys.stderr.fileno()` afresh on entry. Blocks
// share one process-wide redirection per descriptor (see Redirect below).
// Both halves are best effort: they swallow their own errors.
// On Windows the same `os` calls are the C runtime's _dup, _dup2 and _wopen
// ("nul"), on the universal C runtime whose descriptor table the interpreter
// and onnxruntime share; in a console program _dup2 onto descriptor 2 also
// points the standard-error handle at the null device, so output written
// through the handle rather than the descriptor is silenced as well. A process
// without standard error (pythonw: sys.stderr is None) has nothing to silence.
#include "zorvane_robj_d_internal.hpp"

#include <climits>
#include <new>
#include <vector>

#include <pythread.h>

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

// ---------------------------------------------------------------------------
// Process-wide redirection state. Every block on the same standard-error
// descriptor shares one redirection: the first block entered on it saves a
// duplicate and points it at the null device, later ones only count, and
// the last one left restores it from the duplicate and closes both. Blocks
// may therefore overlap in any order, on any threads, and one object may be
// entered again while open.

struct Redirect {
    int target;   // the standard-error descriptor that was silenced
    int saved;    // duplicate of it taken before, or -1
    int devnull;  // the null device, or -1
    int depth;    // open blocks on `target`
};

std::vector<Redirect> g_redirects;

// A lock held around each whole enter or exit. The `os` calls made under it
// release the interpreter lock, so a second thread must wait for the lock
// without holding the interpreter lock. The owner may take it again: the
// host's `os` or `sys.stderr` may be Python code that opens a block itself.
PyThread_type_lock g_lock = nullptr;
unsigned long g_owner = 0;
int g_owned = 0;

bool lock_state() {
    if (!g_lock && !(g_lock = PyThread_allocate_lock())) {
        PyErr_NoMemory();
        return false;
    }
    const unsigned long me = PyThread_get_thread_ident();
    if (g_owned > 0 && g_owner == me) {
        ++g_owned;
        return true;
    }
    if (!PyThread_acquire_lock(g_lock, NOWAIT_LOCK)) {
        Py_BEGIN_ALLOW_THREADS
        PyThread_acquire_lock(g_lock, WAIT_LOCK);
        Py_END_ALLOW_THREADS
    }
    g_owner = me;
    g_owned = 1;
    return true;
}

void unlock_state() {
    if (--g_owned == 0) PyThread_release_lock(g_lock);
}

Redirect *find_redirect(int target) {
    for (Redirect &r : g_redirects) {
        if (r.target == target) return &r;
    }
    return nullptr;
}

// os.close(fd), errors swallowed by the caller.
bool close_fd(int fd) {
    zv::Ref obj(PyLong_FromLong(fd));
    if (!obj) return false;
    zv::Ref r(call_os(n.close, obj.get()));
    return bool(r);
}

// The first block on `target`: save a duplicate, open the null device and
// point `target` at it. Whatever was obtained before a step failed is kept
// in `r`, so that the last exit restores and closes exactly that.
void redirect(PyObject *target, Redirect *r) {
    zv::Ref saved(call_os(n.dup, target));
    if (!saved || !as_fd(saved.get(), &r->saved)) return;

    zv::Ref os(module_global(n.os));
    if (!os) return;
    zv::Ref path(PyObject_GetAttr(os.get(), n.devnull));
    if (!path) return;
    zv::Ref flags(PyObject_GetAttr(os.get(), n.O_WRONLY));
    if (!flags) return;
    zv::Ref devnull(call_os(n.open, path.get(), flags.get()));
    if (!devnull || !as_fd(devnull.get(), &r->devnull)) return;

    zv::Ref done(call_os(n.dup2, devnull.get(), target));
}

// Undoes a redirection once its last block is left: restore the target from
// the duplicate, then close the null device, then the duplicate.
void restore(const Redirect &r) {
    if (r.saved < 0) return;  // nothing was redirected
    zv::Ref saved(PyLong_FromLong(r.saved));
    zv::Ref target(saved ? PyLong_FromLong(r.target) : nullptr);
    if (!target) return;
    zv::Ref done(call_os(n.dup2, saved.get(), target.get()));
    if (!done) return;
    if (r.devnull >= 0 && !close_fd(r.devnull)) return;
    close_fd(r.saved);
}

bool remember_entry(SuppressStderrObject *self, int target) {
    if (self->entered_count == self->entered_capacity) {
        const int capacity = self->entered_capacity ? 2 * self->entered_capacity : 4;
        int *grown = static_cast<int *>(PyMem_Realloc(self->entered, capacity * sizeof(int)));
        if (!grown) return false;
        self->entered = grown;
        self->entered_capacity = capacity;
    }
    self->entered[self->entered_count++] = target;
    return true;
}

void mirror_fields(SuppressStderrObject *self) {
    const Redirect *r = nullptr;
    if (self->entered_count > 0) r = find_redirect(self->entered[self->entered_count - 1]);
    self->saved_stderr_fd = r ? r->saved : -1;
    self->devnull_fd = r ? r->devnull : -1;
}

void enter_locked(SuppressStderrObject *self) {
    int target = -1;
    zv::Ref fd(stderr_fileno());
    if (!fd || !as_fd(fd.get(), &target) || target < 0) target = -1;
    PyErr_Clear();
    if (!remember_entry(self, target)) return;
    if (target < 0) return;  // no usable descriptor: nothing to silence
    if (Redirect *open = find_redirect(target)) {
        ++open->depth;
        return;
    }
    Redirect r = {target, -1, -1, 1};
    redirect(fd.get(), &r);
    PyErr_Clear();
    try {
        g_redirects.push_back(r);
    } catch (const std::bad_alloc &) {
        restore(r);
        self->entered_count--;
    }
}

void exit_locked(SuppressStderrObject *self) {
    if (self->entered_count == 0) return;  // no open block of this object
    const int target = self->entered[--self->entered_count];
    if (target < 0) return;
    Redirect *open = find_redirect(target);
    if (!open || --open->depth > 0) return;
    const Redirect last = *open;
    g_redirects.erase(g_redirects.begin() + (open - g_redirects.data()));
    restore(last);
}

}  // namespace

void suppress_stderr_enter(SuppressStderrObject *self) {
    zv::PendingError pending;
    if (lock_state()) {
        enter_locked(self);
        mirror_fields(self);
        unlock_state();
    }
}

void suppress_stderr_exit(SuppressStderrObject *self) {
    zv::PendingError pending;
    if (lock_state()) {
        exit_locked(self);
        mirror_fields(self);
        unlock_state();
    }
}

namespace {

PyObject *ss_new(PyTypeObject *type, PyObject *, PyObject *) {
    auto *self = reinterpret_cast<SuppressStderrObject *>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->saved_stderr_fd = -1;
    self->devnull_fd = -1;
    self->entered = nullptr;
    self->entered_count = 0;
    self->entered_capacity = 0;
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
    // Blocks still open stay open: the redirection outlives the object.
    PyMem_Free(reinterpret_cast<SuppressStderrObject *>(self)->entered);
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
