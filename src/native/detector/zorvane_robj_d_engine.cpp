// zv_robj_d: the detection engine. One engine owns one ONNX Runtime session,
// the two float32 thresholds and the size of the last preprocessed image.
// Construction picks the execution providers for the requested back end and
// creates the session with standard error silenced; `detect_objects` runs the
// pipeline preprocess -> inference -> decode and times it.
#include "zorvane_robj_d_internal.hpp"

namespace zvd {
namespace {

PyObject *code_string(const char *code) { return PyUnicode_FromString(code); }

// ---------------------------------------------------------------------------
// Session inputs and outputs.

// [item.name for item in session.<method>()], by index; nullptr on any error.
PyObject *collect_names(PyObject *session, PyObject *method) {
    zv::Ref items(PyObject_CallMethodNoArgs(session, method));
    if (!items) return nullptr;
    Py_ssize_t len = PyObject_Length(items.get());
    if (len < 0) return nullptr;
    zv::Ref names(PyList_New(0));
    if (!names) return nullptr;
    for (Py_ssize_t i = 0; i < len; ++i) {
        zv::Ref item(PySequence_GetItem(items.get(), i));
        if (!item) return nullptr;
        zv::Ref name(PyObject_GetAttr(item.get(), n.name));
        if (!name || PyList_Append(names.get(), name.get()) < 0) return nullptr;
    }
    return names.release();
}

// Best effort: a failure of any kind keeps the previous list.
bool store_names(EngineObject *self, PyObject *method, PyObject **slot) {
    zv::Ref session = zv::Ref::borrow(self->session);
    PyObject *names = collect_names(session.get(), method);
    if (!names) {
        PyErr_Clear();
        return false;
    }
    Py_SETREF(*slot, names);
    return true;
}

bool input_details(EngineObject *self) {
    return store_names(self, n.get_inputs, &self->input_names);
}

bool output_details(EngineObject *self) {
    return store_names(self, n.get_outputs, &self->output_names);
}

// ---------------------------------------------------------------------------
// Execution providers and session creation.

// The candidates for a lower-cased back-end name, in order of preference;
// 0 rows when the comparison raised. Any other name gets the CPU only.
size_t provider_row(PyObject *key, PyObject **row) {
    size_t pick = zv_facts::unknown_backend;
    for (size_t b = 0; b < zv_facts::backend_count; ++b) {
        int eq = PyObject_RichCompareBool(key, n.backend_keys[b], Py_EQ);
        if (eq < 0) return 0;
        if (eq) {
            pick = b;
            break;
        }
    }
    const zv_facts::Backend &choice = zv_facts::backends[pick];
    for (size_t i = 0; i < choice.count; ++i) row[i] = n.provider_names[choice.providers[i]];
    return choice.count;
}

PyObject *choose_providers(EngineObject *self) {
    zv::Ref ort(module_global(n.onnxruntime));
    if (!ort) return nullptr;
    zv::Ref available(PyObject_CallMethodNoArgs(ort.get(), n.get_available_providers));
    if (!available) return nullptr;
    if (!zv::check_value_type(available.get(), &PyList_Type, "list", false, false)) return nullptr;
    zv::Ref providers(PyList_New(0));
    if (!providers) return nullptr;
    zv::Ref backend = zv::Ref::borrow(self->backend);
    zv::Ref key(PyObject_CallMethodNoArgs(backend.get(), n.lower));
    if (!key) return nullptr;
    PyObject *row[zv_facts::provider_count];
    size_t count = provider_row(key.get(), row);
    if (!count) return nullptr;
    for (size_t i = 0; i < count; ++i) {
        int found = PySequence_Contains(available.get(), row[i]);
        if (found < 0) return nullptr;
        if (found && PyList_Append(providers.get(), row[i]) < 0) return nullptr;
    }
    return providers.release();
}

// onnxruntime.InferenceSession(model_data, providers=providers) (plus
// sess_options when a thread count is set).
PyObject *new_session(EngineObject *self, PyObject *model_data, PyObject *providers) {
    zv::Ref ort(module_global(n.onnxruntime));
    zv::Ref cls(ort ? PyObject_GetAttr(ort.get(), n.InferenceSession) : nullptr);
    if (!cls) return nullptr;
    zv::Ref options;
    if (self->threads > 0 && !(options = zv::Ref(session_options(self->threads)))) return nullptr;
    zv::Ref kwnames(options ? PyTuple_Pack(2, n.providers, n.sess_options)
                            : PyTuple_Pack(1, n.providers));
    if (!kwnames) return nullptr;
    // ONNX Runtime loads serialized models from bytes only: a bytearray is
    // handed over as an immutable copy.
    zv::Ref data = PyByteArray_Check(model_data) ? zv::Ref(PyBytes_FromObject(model_data))
                                                 : zv::Ref::borrow(model_data);
    if (!data) return nullptr;
    PyObject *args[3] = {data.get(), providers, options.get()};
    return PyObject_Vectorcall(cls.get(), args, 1, kwnames.get());
}

// The session inside a SuppressStderr block; the block is left before any
// error goes on.
bool create_session(EngineObject *self, PyObject *model_data, PyObject *providers) {
    zv::Ref guard(PyObject_CallNoArgs(reinterpret_cast<PyObject *>(g.stderr_type)));
    if (!guard) return false;
    auto *block = reinterpret_cast<SuppressStderrObject *>(guard.get());
    suppress_stderr_enter(block);
    bool ok = true;
    if (PyUnicode_Check(model_data) || PyBytes_Check(model_data) ||
        PyByteArray_Check(model_data)) {
        PyObject *session = new_session(self, model_data, providers);
        if (session) {
            Py_SETREF(self->session, session);
        } else {
            ok = false;
        }
    } else {
        Py_SETREF(self->session, Py_NewRef(Py_None));  // no session for such data
    }
    zv::PendingError pending;
    suppress_stderr_exit(block);
    return ok;
}

PyObject *initialize_model(EngineObject *self, PyObject *model_data) {
    if (model_data == Py_None) return code_string("INVALID_MODEL_DATA");
    zv::Ref providers(choose_providers(self));
    if (!providers) return nullptr;

    if (!create_session(self, model_data, providers.get())) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        PyErr_Clear();
        return code_string("MODEL_LOAD_FAILED");
    }
    if (!self->ops->input_details(self)) return code_string("MODEL_DETAILS_FAILED");
    if (!self->ops->output_details(self)) return code_string("MODEL_DETAILS_FAILED");
    return Py_NewRef(n.empty_str);
}

const EngineOps engine_ops = {
    initialize_model,
    input_details,
    output_details,
    engine_preprocess_image,
    engine_inference,
    engine_postprocess_detections,
};

// ---------------------------------------------------------------------------
// Type slots.

PyObject *engine_new(PyTypeObject *type, PyObject *, PyObject *) {
    auto *self = reinterpret_cast<EngineObject *>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->ops = &engine_ops;
    self->session = Py_NewRef(Py_None);
    self->input_names = Py_NewRef(Py_None);
    self->output_names = Py_NewRef(Py_None);
    self->model_name = Py_NewRef(Py_None);
    self->backend = Py_NewRef(Py_None);
    return reinterpret_cast<PyObject *>(self);
}

// A text argument: truthy values must be exactly str; falsy ones mean
// `fallback`.
bool text_or_default(PyObject *arg, PyObject *fallback, PyObject **slot) {
    int truthy = arg ? PyObject_IsTrue(arg) : 0;
    if (truthy < 0) return false;
    if (truthy) {
        if (!zv::check_value_type(arg, &PyUnicode_Type, "str", false, true)) return false;
        Py_SETREF(*slot, Py_NewRef(arg));
    } else {
        Py_SETREF(*slot, Py_NewRef(fallback));
    }
    return true;
}

// The model argument checked and loaded; false with an exception set.
bool load_model(EngineObject *self, PyObject *model_arg, int32_t threads) {
    zv::Ref model(model_arg == Py_None ? PyBytes_FromStringAndSize(nullptr, 0)
                                       : Py_NewRef(model_arg));
    if (!model) return false;
    int truthy = PyObject_IsTrue(model.get());
    if (truthy < 0) return false;
    if (!truthy) {
        PyErr_SetString(PyExc_Exception, "INVALID_DATA");
        return false;
    }
    if (!threads && (threads = threads_from_env()) < 0) return false;
    self->threads = threads;
    zv::Ref code(self->ops->initialize_model(self, model.get()));
    if (!code) return false;
    if (PyUnicode_Check(code.get()) && PyUnicode_GET_LENGTH(code.get()) == 0) return true;
    PyErr_SetObject(PyExc_Exception, code.get());
    return false;
}

int engine_init(PyObject *op, PyObject *args, PyObject *kwargs) {
    static const char *const names[] = {"model_path_byte", "conf_thres", "iou_thres",
                                        "model_name", "backend"};
    zv::Ref rest;
    PyObject *threads_arg;
    if (!split_threads_kwarg(&kwargs, &rest, &threads_arg)) return -1;
    PyObject *v[5];
    if (!zv::parse_args("__init__", args, kwargs, names, 1, 5, v)) return -1;
    auto *self = reinterpret_cast<EngineObject *>(op);

    float conf = 0.5f, iou = 0.5f;
    if (v[1] && !to_float32(v[1], &conf)) return -1;
    if (v[2] && !to_float32(v[2], &iou)) return -1;
    self->conf_threshold = conf;
    self->iou_threshold = iou;
    if (!text_or_default(v[3], n.small, &self->model_name)) return -1;
    if (!text_or_default(v[4], n.auto_, &self->backend)) return -1;
    int32_t threads = 0;
    if (!parse_threads(threads_arg, &threads)) return -1;
    self->input_size = kInputSize;
    // A session from an earlier construction stays in place until the new
    // one replaces it (other threads may still be detecting with it); a
    // construction that fails leaves none.
    if (!load_model(self, v[0], threads)) {
        Py_SETREF(self->session, Py_NewRef(Py_None));
        return -1;
    }
    return 0;
}

int engine_traverse(PyObject *op, visitproc visit, void *arg) {
    auto *self = reinterpret_cast<EngineObject *>(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->session);
    Py_VISIT(self->input_names);
    Py_VISIT(self->output_names);
    return 0;
}

int engine_clear(PyObject *op) {
    auto *self = reinterpret_cast<EngineObject *>(op);
    Py_SETREF(self->session, Py_NewRef(Py_None));
    Py_SETREF(self->input_names, Py_NewRef(Py_None));
    Py_SETREF(self->output_names, Py_NewRef(Py_None));
    return 0;
}

void engine_dealloc(PyObject *op) {
    auto *self = reinterpret_cast<EngineObject *>(op);
    PyTypeObject *tp = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    Py_CLEAR(self->session);
    Py_CLEAR(self->input_names);
    Py_CLEAR(self->output_names);
    Py_CLEAR(self->model_name);
    Py_CLEAR(self->backend);
    tp->tp_free(op);
    Py_DECREF(tp);
}

// ---------------------------------------------------------------------------
// detect_objects and the threshold properties.

bool wall_clock(double *out) {
    zv::Ref time_mod(module_global(n.time));
    if (!time_mod) return false;
    zv::Ref now(PyObject_CallMethodNoArgs(time_mod.get(), n.time));
    if (!now) return false;
    double t = PyFloat_AsDouble(now.get());
    if (t == -1.0 && PyErr_Occurred()) return false;
    *out = t;
    return true;
}

PyObject *run_pipeline(EngineObject *self, PyObject *image, double start_time) {
    zv::Ref preprocessed(self->ops->preprocess_image(self, image));
    if (!preprocessed) return nullptr;
    zv::Ref outputs(self->ops->inference(self, preprocessed.get()));
    if (!outputs) return nullptr;
    zv::Ref detections(self->ops->postprocess_detections(self, outputs.get()));
    if (!detections) return nullptr;
    double now;
    if (!wall_clock(&now)) return nullptr;
    zv::Ref elapsed(PyFloat_FromDouble(now - start_time));
    if (!elapsed) return nullptr;
    zv::Ref digits(PyLong_FromLong(3));
    if (!digits) return nullptr;
    zv::Ref rounded(PyObject_CallMethodOneArg(elapsed.get(), n.round_, digits.get()));
    if (!rounded) return nullptr;
    zv::Ref result(PyDict_New());
    if (!result || PyDict_SetItem(result.get(), n.results, detections.get()) < 0 ||
        PyDict_SetItem(result.get(), n.ltrb_proc_sec, rounded.get()) < 0) {
        return nullptr;
    }
    return result.release();
}

// Whether OpenCV can take the image at all: its matrices hold the sides as
// int and index the elements of a row (width x channels) with int offsets.
// Larger images are cut to the wrong size or read out of bounds there.
bool fits_opencv(const zv::Buffer &view) {
    const Py_ssize_t h = view.shape(0), w = view.shape(1), c = view.shape(2);
    if (h > INT32_MAX || w > INT32_MAX) return false;
    return c == 0 || w <= INT32_MAX / c;
}

PyObject *detect_objects(PyObject *op, PyObject *image) {
    auto *self = reinterpret_cast<EngineObject *>(op);
    if (!zv::check_arg_type(image, g.ndarray, "image", true, false)) return nullptr;
    zv::Buffer view;
    if (image != Py_None && !view.acquire_u8(image, 3)) return nullptr;
    if (image == Py_None || !fits_opencv(view)) {
        PyErr_SetString(PyExc_Exception, "INVALID_INPUT_IMAGE");
        return nullptr;
    }
    view.release();
    double start_time;
    if (!wall_clock(&start_time)) return nullptr;
    PyObject *result = run_pipeline(self, image, start_time);
    if (!result && PyErr_ExceptionMatches(PyExc_Exception)) {
        raise_while_handling(take_exception(), PyExc_Exception, "PROCESSING_FAILED", false);
    }
    return result;
}

PyObject *get_threshold(PyObject *op, void *closure) {
    auto *self = reinterpret_cast<EngineObject *>(op);
    float v = closure ? self->iou_threshold : self->conf_threshold;
    return PyFloat_FromDouble(static_cast<double>(v));
}

int set_threshold(PyObject *op, PyObject *value, void *closure) {
    auto *self = reinterpret_cast<EngineObject *>(op);
    if (!value) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    float v;
    if (!to_float32(value, &v)) return -1;
    (closure ? self->iou_threshold : self->conf_threshold) = v;
    return 0;
}

PyMethodDef engine_methods[] = {
    {"detect_objects", detect_objects, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef engine_getset[] = {
    {"conf_threshold", get_threshold, set_threshold, nullptr, nullptr},
    {"iou_threshold", get_threshold, set_threshold, nullptr, reinterpret_cast<void *>(1)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(engine_new)},
    {Py_tp_init, reinterpret_cast<void *>(engine_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(engine_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(engine_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(engine_clear)},
    {Py_tp_methods, engine_methods},
    {Py_tp_getset, engine_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec engine_type_def = {
    "zorvane_road_objects.zorvane_robj_d.zv_robj_d",
    sizeof(EngineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    engine_slots,
};

}  // namespace zvd
