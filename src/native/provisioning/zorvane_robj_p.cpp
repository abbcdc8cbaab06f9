// Model provisioning: the per-user data directory, the model catalogue and
// the public entry `download_robj_model`. The cached download itself is in
// zorvane_robj_p_download.cpp.
#include "zorvane_robj_p_internal.hpp"
#include "zv_facts.hpp"

namespace {

using zv::Ref;

PyObject *the_module = nullptr;

const char failure_message[] = "Operation failed (drm)";

PyObject *empty() { return PyUnicode_FromStringAndSize(nullptr, 0); }

// `_internal_download_robj_model`: the model file's local path, or the empty
// string when none can be provided. Errors of the Exception hierarchy end
// here as the empty string.
PyObject *internal_download_robj_model(PyObject *model_name) {
    if (model_name == Py_None || PyUnicode_GET_LENGTH(model_name) == 0) return empty();
    const char *key = nullptr;
    for (const char *entry : zv_facts::catalogue) {
        if (PyUnicode_CompareWithASCIIString(model_name, entry) == 0) {
            key = entry;
            break;
        }
    }
    if (!key) return empty();
    Ref file_name(PyUnicode_FromFormat(zv_facts::model_file_format, key));
    if (!file_name) return nullptr;
    Ref path(zvp::internal_download_file(file_name.get()));
    if (!path) {
        if (!zvp::pending_is_exception()) return nullptr;
        PyErr_Clear();
        return empty();
    }
    int found = PyObject_IsTrue(path.get());
    if (found < 0) return nullptr;
    return found ? path.release() : empty();
}

// Steps of download_robj_model before its failure handling: the model file's
// path, a null result with no exception for "no model", or an exception.
PyObject *provide(PyObject *arg) {
    Ref name;
    if (PyUnicode_Check(arg)) {
        name = Ref::borrow(arg);
    } else {
        int truth = PyObject_IsTrue(arg);
        if (truth < 0) return nullptr;
        name.reset(truth ? PyObject_Str(arg) : empty());
        if (!name) return nullptr;
    }
    // Only exactly str goes on; subclasses are refused.
    if (!zv::check_value_type(name.get(), &PyUnicode_Type, "str", false, true)) return nullptr;
    Ref path(internal_download_robj_model(name.get()));
    if (!path) return nullptr;
    if (PyUnicode_Check(path.get()) && PyUnicode_GET_LENGTH(path.get()) > 0) return path.release();
    return nullptr;
}

PyObject *download_robj_model(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *const names[] = {"model_name"};
    PyObject *values[1];
    if (!zv::parse_args("download_robj_model", args, kwargs, names, 1, 1, values)) return nullptr;
    PyObject *path = provide(values[0]);
    if (path) return path;
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ValueError, failure_message);
        return nullptr;
    }
    if (!zvp::pending_is_exception()) return nullptr;
    // The failure carries the caught error as its context.
    zv::PendingError caught;
    Ref failure(PyObject_CallFunction(PyExc_ValueError, "s", failure_message));
    if (!failure) {
        caught.discard();
        return nullptr;
    }
    zvp::restore_exception(failure.release());
    caught.restore_chained();
    return nullptr;
}

PyMethodDef methods[] = {
    {"download_robj_model",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(download_robj_model)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moddef = {PyModuleDef_HEAD_INIT, "zorvane_robj_p", nullptr, -1, methods};

}  // namespace

namespace zvp {

// A module global (os, requests, time, tqdm), looked up at each use.
PyObject *module_global(const char *name) {
    PyObject *dict = PyModule_GetDict(the_module);
    PyObject *value = PyDict_GetItemString(dict, name);
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        return nullptr;
    }
    return Py_NewRef(value);
}

// `get_data_dir`: ~/.zorvane/zorvane_robj_data, created with its parents on
// every call; the path is returned as built.
PyObject *get_data_dir() {
    Ref os(module_global("os"));
    if (!os) return nullptr;
    Ref path(PyObject_GetAttrString(os.get(), "path"));
    if (!path) return nullptr;
    Ref home(PyObject_CallMethod(path.get(), "expanduser", "s", "~"));
    if (!home) return nullptr;
    Ref dir(PyObject_CallMethod(path.get(), "join", "Oss", home.get(), zv_facts::data_dir_parent,
                                zv_facts::data_dir_name));
    if (!dir) return nullptr;
    Ref makedirs(PyObject_GetAttrString(os.get(), "makedirs"));
    Ref args(dir && makedirs ? PyTuple_Pack(1, dir.get()) : nullptr);
    Ref kwargs(args ? Py_BuildValue("{s:O}", "exist_ok", Py_True) : nullptr);
    Ref made(kwargs ? PyObject_Call(makedirs.get(), args.get(), kwargs.get()) : nullptr);
    if (!made) return nullptr;
    return dir.release();
}

}  // namespace zvp

PyMODINIT_FUNC PyInit_zorvane_robj_p(void) {
    if (the_module) return Py_NewRef(the_module);
    Ref m(PyModule_Create(&moddef));
    if (!m) return nullptr;
    if (!zv::import_into(m.get(), "os") || !zv::import_into(m.get(), "requests") ||
        !zv::import_into(m.get(), "time"))
        return nullptr;
    Ref tqdm(zv::import_from("tqdm", "tqdm"));
    if (!tqdm || PyModule_AddObject(m.get(), "tqdm", tqdm.get()) < 0) return nullptr;
    tqdm.release();
    the_module = Py_NewRef(m.get());
    return m.release();
}
