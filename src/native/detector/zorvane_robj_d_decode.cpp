// inference and postprocess_detections: one session run on the preprocessed
// record, then the decoding of the first output (rows [class, score, left,
// top, right, bottom]) into detection records, grouped by class and passed
// through the module's `nms` group by group.
//
// Rows are read with the semantics of per-element Python access: int() of the
// class value (truncation; ValueError for NaN, OverflowError for infinity or
// values beyond 32 bits, on every row before the threshold test), the score
// as a double rounded to float32, float() of the box values. Exact float32 and
// float64 arrays are scanned natively; any other array goes element by element
// through the array's own indexing.
#include "zorvane_robj_d_internal.hpp"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

namespace zvd {
namespace {

// Model class id -> detection class id (-1: not a road class).
int road_class(int32_t model_class) {
    for (size_t cls = 0; cls < zv_facts::class_count; ++cls) {
        if (zv_facts::model_class_ids[cls] == model_class) return static_cast<int>(cls);
    }
    return -1;
}

// A kept row.
struct Kept {
    int cls;         // detection class id
    float score;     // float32 score
    double ltrb[4];  // float() of columns 2 to 5
};

// Errors of int() on a class value, in the interpreter's words.
// An infinite score passes the threshold but has no whole percent.
enum class ClassError { none, nan, infinite, long_overflow, int_overflow, infinite_score };

void raise_class_error(ClassError e) {
    switch (e) {
    case ClassError::nan:
        PyErr_SetString(PyExc_ValueError, "cannot convert float NaN to integer");
        break;
    case ClassError::infinite:
    case ClassError::infinite_score:
        PyErr_SetString(PyExc_OverflowError, "cannot convert float infinity to integer");
        break;
    case ClassError::long_overflow:
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
        break;
    case ClassError::int_overflow:
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        break;
    case ClassError::none:
        break;
    }
}

// int(value) held as a 32-bit signed integer.
ClassError class_from_double(double v, int32_t *out) {
    if (std::isnan(v)) return ClassError::nan;
    if (std::isinf(v)) return ClassError::infinite;
    const double t = std::trunc(v);
    if (t >= 9223372036854775808.0 || t < -9223372036854775808.0) return ClassError::long_overflow;
    if (t > INT_MAX || t < INT_MIN) return ClassError::int_overflow;
    *out = static_cast<int32_t>(t);
    return ClassError::none;
}

bool class_from_int(PyObject *as_int, int32_t *out) {
    long v = PyLong_AsLong(as_int);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v > INT_MAX || v < INT_MIN) {
        raise_class_error(ClassError::int_overflow);
        return false;
    }
    *out = static_cast<int32_t>(v);
    return true;
}

template <typename T>
double load(const char *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return static_cast<double>(v);
}

// Native scan of a float32 or float64 array; runs without the GIL.
template <typename T>
ClassError scan_native(const char *data, Py_ssize_t rows, Py_ssize_t s0, Py_ssize_t s1,
                       float conf, std::vector<Kept> &kept) {
    for (Py_ssize_t i = 0; i < rows; ++i) {
        const char *row = data + i * s0;
        int32_t model_class = 0;
        ClassError e = class_from_double(load<T>(row), &model_class);
        if (e != ClassError::none) return e;
        const float score = narrow(load<T>(row + s1));
        if (!(score > conf)) continue;
        const int cls = road_class(model_class);
        if (cls < 0) continue;
        if (std::isinf(score)) return ClassError::infinite_score;
        Kept k;
        k.cls = cls;
        k.score = score;
        for (int j = 0; j < 4; ++j) k.ltrb[j] = load<T>(row + (2 + j) * s1);
        kept.push_back(k);
    }
    return ClassError::none;
}

bool scan_fast(PyArrayObject *arr, float conf, std::vector<Kept> &kept) {
    const char *data = static_cast<const char *>(PyArray_DATA(arr));
    const Py_ssize_t rows = PyArray_DIM(arr, 0);
    const Py_ssize_t s0 = PyArray_STRIDE(arr, 0), s1 = PyArray_STRIDE(arr, 1);
    const bool single = PyArray_TYPE(arr) == NPY_FLOAT32;
    ClassError e = ClassError::none;
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        e = single ? scan_native<float>(data, rows, s0, s1, conf, kept)
                   : scan_native<double>(data, rows, s0, s1, conf, kept);
    } catch (const std::bad_alloc &) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (no_memory) {
        PyErr_NoMemory();
        return false;
    }
    if (e != ClassError::none) {
        raise_class_error(e);
        return false;
    }
    return true;
}

// detections[i, j] through the array's own indexing.
PyObject *element(PyObject *det, Py_ssize_t i, Py_ssize_t j) {
    zv::Ref key(Py_BuildValue("(nn)", i, j));
    if (!key) return nullptr;
    return PyObject_GetItem(det, key.get());
}

bool scan_generic(EngineObject *self, PyObject *det, Py_ssize_t rows, std::vector<Kept> &kept) {
    for (Py_ssize_t i = 0; i < rows; ++i) {
        zv::Ref c(element(det, i, 0));
        if (!c) return false;
        zv::Ref as_int(PyNumber_Long(c.get()));
        if (!as_int) return false;
        int32_t model_class;
        if (!class_from_int(as_int.get(), &model_class)) return false;
        zv::Ref sc(element(det, i, 1));
        if (!sc) return false;
        const double score_d = PyFloat_AsDouble(sc.get());
        if (score_d == -1.0 && PyErr_Occurred()) return false;
        const float score = narrow(score_d);
        if (!(score > self->conf_threshold)) continue;
        const int cls = road_class(model_class);
        if (cls < 0) continue;
        Kept k;
        k.cls = cls;
        k.score = score;
        for (int j = 0; j < 4; ++j) {
            zv::Ref e(element(det, i, 2 + j));
            if (!e) return false;
            zv::Ref f(PyNumber_Float(e.get()));
            if (!f) return false;
            k.ltrb[j] = PyFloat_AS_DOUBLE(f.get());
        }
        if (std::isinf(score)) {
            raise_class_error(ClassError::infinite_score);
            return false;
        }
        try {
            kept.push_back(k);
        } catch (const std::bad_alloc &) {
            PyErr_NoMemory();
            return false;
        }
    }
    return true;
}

// {"ltrb": [...], "ltrb_conf": ..., "class_id": ..., "class": ...}
PyObject *make_record(const Kept &k) {
    zv::Ref ltrb(PyList_New(4));
    if (!ltrb) return nullptr;
    for (int j = 0; j < 4; ++j) {
        PyObject *f = PyFloat_FromDouble(k.ltrb[j]);
        if (!f) return nullptr;
        PyList_SET_ITEM(ltrb.get(), j, f);
    }
    // Whole percent, truncated toward zero (an unbounded int).
    zv::Ref conf(PyLong_FromDouble(static_cast<double>(k.score) * 100.0));
    if (!conf) return nullptr;
    zv::Ref cls(PyLong_FromLong(k.cls));
    if (!cls) return nullptr;
    zv::Ref rec(PyDict_New());
    if (!rec || PyDict_SetItem(rec.get(), n.ltrb, ltrb.get()) < 0 ||
        PyDict_SetItem(rec.get(), n.ltrb_conf, conf.get()) < 0 ||
        PyDict_SetItem(rec.get(), n.class_id, cls.get()) < 0 ||
        PyDict_SetItem(rec.get(), n.class_, n.class_names[k.cls]) < 0) {
        return nullptr;
    }
    return rec.release();
}

// np.array(values, dtype=np.float32), through NumPy itself.
PyObject *np_float32_array(PyObject *values) {
    zv::Ref np(module_global(n.np));
    if (!np) return nullptr;
    zv::Ref array(PyObject_GetAttrString(np.get(), "array"));
    if (!array) return nullptr;
    zv::Ref f32(PyObject_GetAttrString(np.get(), "float32"));
    if (!f32) return nullptr;
    zv::Ref args(PyTuple_Pack(1, values));
    zv::Ref kwargs(args ? Py_BuildValue("{sO}", "dtype", f32.get()) : nullptr);
    if (!kwargs) return nullptr;
    return PyObject_Call(array.get(), args.get(), kwargs.get());
}

bool overflows_float32(double v) {
    return std::isfinite(v) && !std::isfinite(narrow(v));
}

// The boxes of one group, an (n, 4) float32 array.
PyObject *group_boxes(const std::vector<Kept> &kept, const std::vector<Py_ssize_t> &members,
                      PyObject *records) {
    const npy_intp count = static_cast<npy_intp>(members.size());
    bool overflow = false;
    for (Py_ssize_t idx : members) {
        for (double v : kept[idx].ltrb) overflow = overflow || overflows_float32(v);
    }
    if (overflow) {
        // Let NumPy convert (and warn or raise as its error state says).
        zv::Ref lists(PyList_New(count));
        if (!lists) return nullptr;
        for (npy_intp r = 0; r < count; ++r) {
            PyObject *ltrb = PyDict_GetItemWithError(PyList_GET_ITEM(records, r), n.ltrb);
            if (!ltrb) {
                if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, n.ltrb);
                return nullptr;
            }
            PyList_SET_ITEM(lists.get(), r, Py_NewRef(ltrb));
        }
        return np_float32_array(lists.get());
    }
    npy_intp dims[2] = {count, 4};
    PyObject *arr = PyArray_SimpleNew(2, dims, NPY_FLOAT32);
    if (!arr) return nullptr;
    float *d = static_cast<float *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(arr)));
    for (npy_intp r = 0; r < count; ++r) {
        for (int j = 0; j < 4; ++j) d[r * 4 + j] = narrow(kept[members[r]].ltrb[j]);
    }
    return arr;
}

// The group's "ltrb_conf" / 100.0, an (n,) float32 array.
PyObject *group_scores(const std::vector<Kept> &kept, const std::vector<Py_ssize_t> &members) {
    npy_intp dims[1] = {static_cast<npy_intp>(members.size())};
    PyObject *arr = PyArray_SimpleNew(1, dims, NPY_FLOAT32);
    if (!arr) return nullptr;
    float *d = static_cast<float *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(arr)));
    for (npy_intp r = 0; r < dims[0]; ++r) {
        const double pct = std::trunc(static_cast<double>(kept[members[r]].score) * 100.0);
        d[r] = narrow(pct / 100.0);
    }
    return arr;
}

// Suppression for one class group; appends the kept records to `final`.
bool suppress_group(EngineObject *self, const std::vector<Kept> &kept,
                    const std::vector<Py_ssize_t> &members, PyObject *records,
                    PyObject *final) {
    zv::Ref boxes(group_boxes(kept, members, records));
    if (!boxes) return false;
    zv::Ref scores(group_scores(kept, members));
    if (!scores) return false;
    zv::Ref iou(PyFloat_FromDouble(static_cast<double>(self->iou_threshold)));
    if (!iou) return false;
    zv::Ref nms(module_global(n.nms));
    if (!nms) return false;
    PyObject *args[3] = {boxes.get(), scores.get(), iou.get()};
    zv::Ref keep(PyObject_Vectorcall(nms.get(), args, 3, nullptr));
    if (!keep) return false;
    zv::Ref it(PyObject_GetIter(keep.get()));
    if (!it) return false;
    while (PyObject *index = PyIter_Next(it.get())) {
        zv::Ref k(index);
        zv::Ref rec(PyObject_GetItem(records, k.get()));
        if (!rec || PyList_Append(final, rec.get()) < 0) return false;
    }
    return !PyErr_Occurred();
}

}  // namespace

PyObject *engine_inference(EngineObject *self, PyObject *preprocessed) {
    zv::Ref feed(PyDict_New());
    if (!feed) return nullptr;
    for (PyObject *key : {n.image, n.im_shape, n.scale_factor}) {
        zv::Ref value(PyObject_GetItem(preprocessed, key));
        if (!value || PyDict_SetItem(feed.get(), key, value.get()) < 0) return nullptr;
    }
    // The session and the names are held for the whole run: ONNX Runtime
    // lets other threads in meanwhile, and one may re-initialise the engine.
    zv::Ref session = zv::Ref::borrow(self->session);
    zv::Ref output_names = zv::Ref::borrow(self->output_names);
    zv::Ref outputs(PyObject_CallMethodObjArgs(session.get(), n.run, output_names.get(),
                                               feed.get(), nullptr));
    if (!outputs) return nullptr;
    if (!zv::check_value_type(outputs.get(), &PyList_Type, "list", true, false)) return nullptr;
    return outputs.release();
}

PyObject *engine_postprocess_detections(EngineObject *self, PyObject *outputs) {
    if (outputs == Py_None) return PyList_New(0);
    const Py_ssize_t count = PyObject_Length(outputs);
    if (count < 0) return nullptr;
    if (count == 0) return PyList_New(0);
    zv::Ref det(PySequence_GetItem(outputs, 0));
    if (!det) return nullptr;
    if (!PyObject_TypeCheck(det.get(), g.ndarray)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s",
                     Py_TYPE(det.get())->tp_name, g.ndarray->tp_name);
        return nullptr;
    }
    auto *arr = reinterpret_cast<PyArrayObject *>(det.get());
    if (PyArray_NDIM(arr) != 2 || PyArray_DIM(arr, 1) != 6) return PyList_New(0);
    const Py_ssize_t rows = PyArray_DIM(arr, 0);

    std::vector<Kept> kept;
    const int type = PyArray_TYPE(arr);
    const bool fast = PyArray_CheckExact(det.get()) && PyArray_ISNOTSWAPPED(arr) &&
                      (type == NPY_FLOAT32 || type == NPY_FLOAT64);
    if (fast ? !scan_fast(arr, self->conf_threshold, kept)
             : !scan_generic(self, det.get(), rows, kept)) {
        return nullptr;
    }
    if (kept.empty()) return PyList_New(0);

    // Every kept row's record, in row order. No Python code runs while they
    // are made, so the cyclic collector is held off for the loop: it would
    // otherwise walk the fresh records again and again as they pile up.
    zv::Ref results(PyList_New(static_cast<Py_ssize_t>(kept.size())));
    if (!results) return nullptr;
    const int collector_was_on = PyGC_Disable();
    bool made = true;
    for (size_t i = 0; i < kept.size() && made; ++i) {
        PyObject *rec = make_record(kept[i]);
        if (rec) {
            PyList_SET_ITEM(results.get(), static_cast<Py_ssize_t>(i), rec);
        } else {
            made = false;
        }
    }
    if (collector_was_on) PyGC_Enable();
    if (!made) return nullptr;

    // Groups in order of each class's first kept row; rows keep their order.
    std::vector<Py_ssize_t> members[zv_facts::class_count];
    int order[zv_facts::class_count];
    int groups = 0;
    try {
        for (size_t i = 0; i < kept.size(); ++i) {
            std::vector<Py_ssize_t> &m = members[kept[i].cls];
            if (m.empty()) order[groups++] = kept[i].cls;
            m.push_back(static_cast<Py_ssize_t>(i));
        }
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }

    zv::Ref final(PyList_New(0));
    if (!final) return nullptr;
    for (int gi = 0; gi < groups; ++gi) {
        const std::vector<Py_ssize_t> &m = members[order[gi]];
        zv::Ref records(PyList_New(static_cast<Py_ssize_t>(m.size())));
        if (!records) return nullptr;
        for (size_t r = 0; r < m.size(); ++r) {
            PyList_SET_ITEM(records.get(), static_cast<Py_ssize_t>(r),
                            Py_NewRef(PyList_GET_ITEM(results.get(), m[r])));
        }
        if (!suppress_group(self, kept, m, records.get(), final.get())) return nullptr;
    }
    return final.release();
}

}  // namespace zvd
