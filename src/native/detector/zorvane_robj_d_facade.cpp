// zv_road_object_detector: the detector that host applications use. It gets
// the model file through model provisioning, builds an engine on its bytes
// and answers detector(img) calls, turning every failure into a ValueError
// with a short fixed message raised without chaining.
#include "zorvane_robj_d_internal.hpp"

namespace zvd {
namespace {

// Replaces a pending error of the Exception hierarchy by `ValueError(message)`
// raised from None; other errors (KeyboardInterrupt, ...) stay as they are.
void fail_with(const char *message) {
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        raise_while_handling(take_exception(), PyExc_ValueError, message, true);
    }
}

void raise_unchained(const char *message) {
    PyErr_SetString(PyExc_ValueError, message);
    zv::PendingError exc;
    if (exc) PyException_SetCause(exc.get(), nullptr);
}

// The whole file as bytes: with open(path, "rb") as f: data = f.read()
PyObject *read_file(PyObject *path) {
    zv::Ref open(module_global(n.open));
    if (!open) return nullptr;
    zv::Ref f(PyObject_CallFunctionObjArgs(open.get(), path, n.rb, nullptr));
    if (!f) return nullptr;
    zv::Ref data(PyObject_CallMethodNoArgs(f.get(), n.read));
    if (data) {
        zv::Ref closed(PyObject_CallMethodNoArgs(f.get(), n.close));
        return closed ? data.release() : nullptr;
    }
    zv::PendingError pending;
    zv::Ref closed(PyObject_CallMethodNoArgs(f.get(), n.close));
    // The error of close() replaces the one of read(), chained to it.
    pending.restore_chained();
    return nullptr;
}

PyObject *facade_new(PyTypeObject *type, PyObject *, PyObject *) {
    auto *self = reinterpret_cast<FacadeObject *>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->engine = Py_NewRef(Py_None);
    self->model_name = Py_NewRef(Py_None);
    return reinterpret_cast<PyObject *>(self);
}

int facade_init(PyObject *op, PyObject *args, PyObject *kwargs) {
    static const char *const names[] = {"model_name", "backend", "conf_thres", "iou_thres"};
    static PyObject *download_name = nullptr;
    if (!download_name && !(download_name = PyUnicode_InternFromString("download_robj_model"))) {
        return -1;
    }
    zv::Ref rest;
    PyObject *threads_arg;
    if (!split_threads_kwarg(&kwargs, &rest, &threads_arg)) return -1;
    PyObject *v[4];
    if (!zv::parse_args("__init__", args, kwargs, names, 1, 4, v)) return -1;
    if (!zv::check_str_arg(v[0], "model_name")) return -1;
    if (v[1] && !zv::check_str_arg(v[1], "backend")) return -1;
    float conf = 0.5f, iou = 0.5f;
    if (v[2] && !to_float32(v[2], &conf)) return -1;
    if (v[3] && !to_float32(v[3], &iou)) return -1;
    // A bad thread count is the caller's argument error: raised as it is,
    // before the model is fetched.
    int32_t threads = 0;
    if (!parse_threads(threads_arg, &threads)) return -1;
    auto *self = reinterpret_cast<FacadeObject *>(op);

    PyObject *model_name = v[0] == Py_None ? n.empty_str : v[0];
    PyObject *backend = (!v[1] || v[1] == Py_None) ? n.auto_ : v[1];

    zv::Ref download(module_global(download_name));
    if (!download) return -1;
    zv::Ref model_path(PyObject_CallOneArg(download.get(), model_name));
    if (!model_path) {
        if (PyErr_ExceptionMatches(PyExc_ValueError)) fail_with("Model access denied");
        return -1;
    }

    zv::Ref data(read_file(model_path.get()));
    if (!data) {
        fail_with("Access denied");
        return -1;
    }

    zv::Ref conf_obj(PyFloat_FromDouble(static_cast<double>(conf)));
    if (!conf_obj) return -1;
    zv::Ref iou_obj(PyFloat_FromDouble(static_cast<double>(iou)));
    if (!iou_obj) return -1;
    zv::Ref threads_obj(threads ? PyLong_FromLong(threads) : Py_NewRef(Py_None));
    if (!threads_obj) return -1;
    zv::Ref kwnames(PyTuple_Pack(1, n.threads));
    if (!kwnames) return -1;
    PyObject *engine_args[6] = {data.get(), conf_obj.get(), iou_obj.get(), model_name, backend,
                                threads_obj.get()};
    zv::Ref engine(PyObject_Vectorcall(reinterpret_cast<PyObject *>(g.engine_type), engine_args,
                                       5, kwnames.get()));
    if (!engine) {
        fail_with("Model initialization failed");
        return -1;
    }
    Py_SETREF(self->engine, engine.release());
    Py_SETREF(self->model_name, Py_NewRef(model_name));
    return 0;
}

// detector(img)
PyObject *facade_call(PyObject *op, PyObject *args, PyObject *kwargs) {
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        PyErr_SetString(PyExc_TypeError, "__call__() takes no keyword arguments");
        return nullptr;
    }
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "__call__() takes exactly one argument (%zd given)", nargs);
        return nullptr;
    }
    PyObject *img = PyTuple_GET_ITEM(args, 0);
    if (!zv::check_arg_type(img, g.ndarray, "img", true, false)) return nullptr;
    zv::Buffer view;
    if (img != Py_None && !view.acquire_u8(img, 3)) return nullptr;

    if (img == Py_None) {
        raise_unchained("Invalid input");
        return nullptr;
    }
    Py_ssize_t size = 1;
    for (int d = 0; d < 3; ++d) size *= view.shape(d);
    // A side that does not fit 32 bits is refused, not cut to its low bits.
    const bool sides_fit = view.shape(0) <= INT32_MAX && view.shape(1) <= INT32_MAX;
    const int32_t height = sides_fit ? static_cast<int32_t>(view.shape(0)) : 0;
    const int32_t width = sides_fit ? static_cast<int32_t>(view.shape(1)) : 0;
    view.release();
    if (size == 0 || height <= 0 || width <= 0 || height > 8192 || width > 8192) {
        raise_unchained("Invalid input");
        return nullptr;
    }
    const float longer = static_cast<float>(height > width ? height : width);
    const float shorter = static_cast<float>(height > width ? width : height);
    if (longer / shorter > 100.0f) {
        raise_unchained("Invalid input");
        return nullptr;
    }

    // The engine is held for the whole call: another thread may construct
    // this detector again meanwhile and replace it.
    zv::Ref engine = zv::Ref::borrow(reinterpret_cast<FacadeObject *>(op)->engine);
    PyObject *result = PyObject_CallMethodOneArg(engine.get(), n.detect_objects, img);
    if (!result) fail_with("Processing error");
    return result;
}

int facade_traverse(PyObject *op, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(reinterpret_cast<FacadeObject *>(op)->engine);
    return 0;
}

int facade_clear(PyObject *op) {
    Py_SETREF(reinterpret_cast<FacadeObject *>(op)->engine, Py_NewRef(Py_None));
    return 0;
}

void facade_dealloc(PyObject *op) {
    auto *self = reinterpret_cast<FacadeObject *>(op);
    PyTypeObject *tp = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    Py_CLEAR(self->engine);
    Py_CLEAR(self->model_name);
    tp->tp_free(op);
    Py_DECREF(tp);
}

PyType_Slot facade_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(facade_new)},
    {Py_tp_init, reinterpret_cast<void *>(facade_init)},
    {Py_tp_call, reinterpret_cast<void *>(facade_call)},
    {Py_tp_dealloc, reinterpret_cast<void *>(facade_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(facade_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(facade_clear)},
    {0, nullptr},
};

}  // namespace

PyType_Spec facade_type_def = {
    "zorvane_road_objects.zorvane_robj_d.zv_road_object_detector",
    sizeof(FacadeObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    facade_slots,
};

}  // namespace zvd
