// The detector module zorvane_road_objects.zorvane_robj_d: module state,
// shared exception helpers and the module's initialisation.
#define ZV_ROBJ_D_IMPORTS_ARRAY
#include "zorvane_robj_d_internal.hpp"

#include <frameobject.h>

namespace zvd {

ModuleState g;
Names n;

namespace {

// Interns the strings of a table of the shared facts into `slots`.
bool intern_table(PyObject **slots, const char *const *texts, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (slots[i]) continue;
        slots[i] = PyUnicode_InternFromString(texts[i]);
        if (!slots[i]) return false;
    }
    return true;
}

}  // namespace

bool init_names() {
    static bool done = false;
    if (done) return true;
    struct Entry {
        PyObject **slot;
        const char *text;
    };
    const Entry entries[] = {
        {&n.np, "np"}, {&n.cv2, "cv2"}, {&n.onnxruntime, "onnxruntime"}, {&n.os, "os"},
        {&n.sys, "sys"}, {&n.time, "time"}, {&n.nms, "nms"},
        {&n.resize, "resize"}, {&n.INTER_LINEAR, "INTER_LINEAR"},
        {&n.interpolation, "interpolation"},
        {&n.image, "image"}, {&n.im_shape, "im_shape"}, {&n.scale_factor, "scale_factor"},
        {&n.run, "run"},
        {&n.ltrb, "ltrb"}, {&n.ltrb_conf, "ltrb_conf"}, {&n.class_id, "class_id"},
        {&n.class_, "class"}, {&n.results, "results"}, {&n.ltrb_proc_sec, "ltrb_proc_sec"},
        {&n.get_available_providers, "get_available_providers"},
        {&n.InferenceSession, "InferenceSession"}, {&n.providers, "providers"},
        {&n.lower, "lower"}, {&n.get_inputs, "get_inputs"}, {&n.get_outputs, "get_outputs"},
        {&n.name, "name"}, {&n.detect_objects, "detect_objects"},
        {&n.stderr_, "stderr"}, {&n.fileno, "fileno"}, {&n.dup, "dup"}, {&n.open, "open"},
        {&n.devnull, "devnull"}, {&n.O_WRONLY, "O_WRONLY"}, {&n.dup2, "dup2"},
        {&n.close, "close"},
        {&n.read, "read"}, {&n.rb, "rb"}, {&n.round_, "__round__"}, {&n.empty_str, ""},
        {&n.small, "small"}, {&n.auto_, zv_facts::default_backend},
        {&n.threads, "threads"}, {&n.SessionOptions, "SessionOptions"},
        {&n.sess_options, "sess_options"}, {&n.intra_op_num_threads, "intra_op_num_threads"},
        {&n.inter_op_num_threads, "inter_op_num_threads"}, {&n.environ_, "environ"},
        {&n.threads_env, zv_facts::env_threads},
    };
    for (const Entry &e : entries) {
        if (!intern_table(e.slot, &e.text, 1)) return false;
    }
    if (!intern_table(n.class_names, zv_facts::class_names, zv_facts::class_count) ||
        !intern_table(n.provider_names, zv_facts::provider_names, zv_facts::provider_count))
        return false;
    for (size_t i = 0; i < zv_facts::backend_count; ++i) {
        if (!intern_table(&n.backend_keys[i], &zv_facts::backends[i].name, 1)) return false;
    }
    done = true;
    return true;
}

PyObject *module_global(PyObject *name) {
    if (g.dict) {
        PyObject *v = PyDict_GetItemWithError(g.dict, name);
        if (v) return Py_NewRef(v);
        if (PyErr_Occurred()) return nullptr;
    }
    PyObject *builtins = PyEval_GetBuiltins();
    if (builtins) {
        PyObject *v = PyDict_GetItemWithError(builtins, name);
        if (v) return Py_NewRef(v);
        if (PyErr_Occurred()) return nullptr;
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

void raise_while_handling(PyObject *caught, PyObject *type, const char *message,
                          bool from_none) {
    zv::Ref handled(caught);
    // Make `caught` the exception being handled, so that raising chains it
    // as the implicit context exactly as an `except` block would.
    zv::Ref previous(PyErr_GetHandledException());
    PyErr_SetHandledException(handled.get());
    PyErr_SetString(type, message);
    PyErr_SetHandledException(previous.get());
    if (from_none) {
        zv::PendingError exc;
        if (exc) PyException_SetCause(exc.get(), nullptr);  // also suppresses the context
    }
}

}  // namespace zvd

using namespace zvd;

namespace {

constexpr const char kModuleName[] = "zorvane_road_objects.zorvane_robj_d";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    nullptr,
    // Non-negative: a repeated import calls the init function again, which
    // then hands back the module created the first time.
    0,
    nullptr,
};

// The numpy types the module works with, as compiled modules import them.
bool import_numpy_types() {
    static const char *const names[] = {
        "dtype",    "flatiter",        "broadcast", "ndarray",  "generic",
        "number",   "integer",         "signedinteger", "unsignedinteger",
        "inexact",  "floating",        "complexfloating", "flexible", "character",
        "ufunc",
    };
    zv::Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    for (const char *name : names) {
        zv::Ref t(PyObject_GetAttrString(numpy.get(), name));
        if (!t) return false;
        if (!PyType_Check(t.get())) {
            PyErr_Format(PyExc_TypeError, "numpy.%.200s is not a type object", name);
            return false;
        }
        if (std::strcmp(name, "ndarray") == 0) {
            Py_XSETREF(g.ndarray, (PyTypeObject *)t.release());
        }
    }
    return true;
}

bool init_numpy_api() {
    if (_import_array() >= 0) return true;
    PyObject *caught = take_exception();
    if (caught && !PyErr_GivenExceptionMatches(caught, PyExc_Exception)) {
        restore_exception(caught);
        return false;
    }
    if (caught) {
        raise_while_handling(caught, PyExc_ImportError,
                             "numpy._core.multiarray failed to import", false);
    } else {
        PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
    }
    return false;
}

bool add_type(PyObject *m, PyType_Spec *shape, PyTypeObject **slot, const char *attr) {
    PyObject *t = PyType_FromModuleAndSpec(m, shape, nullptr);
    if (!t) return false;
    Py_XSETREF(*slot, (PyTypeObject *)t);
    return PyModule_AddObjectRef(m, attr, t) == 0;
}

bool bind_from(PyObject *m, const char *module, const char *name) {
    PyObject *value = zv::import_from(module, name);
    if (!value) return false;
    return PyModule_AddObject(m, name, value) == 0 || (Py_DECREF(value), false);
}

// The traceback entry that names the failed initialisation.
void add_init_traceback(int line) {
    zv::PendingError exc;
    if (!exc) return;
    PyCodeObject *code =
        PyCode_NewEmpty("zorvane_robj_d.cpp", "init zorvane_road_objects.zorvane_robj_d", line);
    PyObject *globals = code ? PyDict_New() : nullptr;
    PyFrameObject *frame =
        globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    exc.restore();
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(globals);
    Py_XDECREF(code);
}

// The import sequence; on failure returns the source line of the failing step.
int run_import_sequence(PyObject *m) {
    // Classes.
    if (!add_type(m, &suppress_stderr_type_def, &g.stderr_type, "SuppressStderr")) return __LINE__;
    if (!add_type(m, &facade_type_def, &g.facade_type, "zv_road_object_detector")) return __LINE__;
    if (!add_type(m, &engine_type_def, &g.engine_type, "zv_robj_d")) return __LINE__;
    // NumPy: its types, `np`, then the native API table.
    if (!import_numpy_types()) return __LINE__;
    if (!zv::import_into(m, "numpy", "np")) return __LINE__;
    if (!init_numpy_api()) return __LINE__;
    // Libraries and standard modules.
    if (!zv::import_into(m, "cv2")) return __LINE__;
    if (!zv::import_into(m, "onnxruntime")) return __LINE__;
    if (!zv::import_into(m, "os")) return __LINE__;
    if (!zv::import_into(m, "sys")) return __LINE__;
    if (!zv::import_into(m, "time")) return __LINE__;
    // Model provisioning and non-maximum suppression.
    if (!bind_from(m, "zorvane_road_objects.zorvane_robj_p", "download_robj_model")) return __LINE__;
    if (!bind_from(m, "zorvane_road_objects.utils", "nms")) return __LINE__;
    PyObject *all = Py_BuildValue("[s]", "zv_road_object_detector");
    if (!all || PyModule_AddObject(m, "__all__", all) < 0) {
        Py_XDECREF(all);
        return __LINE__;
    }
    return 0;
}

}  // namespace

PyMODINIT_FUNC PyInit_zorvane_robj_d(void) {
    if (g.module) return Py_NewRef(g.module);
    if (!init_names()) return nullptr;

    zv::Ref m(PyModule_Create(&module_def));
    if (!m) return nullptr;
    int line = 0;
    bool entered = false;
    PyObject *modules = PyImport_GetModuleDict();
    {
        zv::Ref name(PyUnicode_FromString(kModuleName));
        if (!name) return nullptr;
        int has = PyDict_Contains(modules, name.get());
        if (has < 0) return nullptr;
        if (!has) {
            if (PyDict_SetItem(modules, name.get(), m.get()) < 0) return nullptr;
            entered = true;
        }
        g.dict = PyModule_GetDict(m.get());
        line = run_import_sequence(m.get());
        if (line) {
            // Leave no usable module behind.
            zv::PendingError exc;
            if (entered && PyDict_GetItemWithError(modules, name.get()) == m.get()) {
                PyDict_DelItem(modules, name.get());
            }
            exc.restore();
            g.dict = nullptr;
            Py_CLEAR(g.stderr_type);
            Py_CLEAR(g.engine_type);
            Py_CLEAR(g.facade_type);
            m.reset();
            add_init_traceback(line);
            return nullptr;
        }
    }
    g.module = Py_NewRef(m.get());
    return m.release();
}
