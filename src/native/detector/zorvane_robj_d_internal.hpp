// Declarations shared by the pieces of the detector module zorvane_robj_d:
// the instance layouts of its three types, the engine's operation table,
// the module state and the interned names used on the hot paths.
#pragma once

#include "zv_facts.hpp"
#include "zv_native.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL zorvane_robj_d_ARRAY_API
#ifndef ZV_ROBJ_D_IMPORTS_ARRAY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <cmath>
#include <cstdint>

namespace zvd {

// ---------------------------------------------------------------------------
// Instance layouts.

struct SuppressStderrObject {
    PyObject_HEAD
    // The descriptors of the redirection this object's innermost open block
    // takes part in (shared process-wide); -1: none.
    int saved_stderr_fd;
    int devnull_fd;
    // The standard-error descriptor each open block of this object entered
    // on, innermost last (-1: that entry redirected nothing). Owned.
    int *entered;
    int entered_count;
    int entered_capacity;
};

struct EngineObject;

// The engine's internal operations, in dispatch order. Not reachable from
// Python.
struct EngineOps {
    // "" on success, else an error code (new reference); nullptr with an
    // exception set for errors that are not caught.
    PyObject *(*initialize_model)(EngineObject *self, PyObject *model_data);
    bool (*input_details)(EngineObject *self);
    bool (*output_details)(EngineObject *self);
    PyObject *(*preprocess_image)(EngineObject *self, PyObject *image);
    PyObject *(*inference)(EngineObject *self, PyObject *preprocessed);
    PyObject *(*postprocess_detections)(EngineObject *self, PyObject *outputs);
};

struct EngineObject {
    PyObject_HEAD
    const EngineOps *ops;
    int32_t threads;         // session intra-op threads; 0: ONNX Runtime's default
    float conf_threshold;
    float iou_threshold;
    PyObject *session;       // onnxruntime.InferenceSession or None
    PyObject *input_names;   // list of str or None
    PyObject *output_names;  // list of str or None
    int32_t input_size;
    int32_t image_height;
    int32_t image_width;
    PyObject *model_name;    // str
    PyObject *backend;       // str
};

struct FacadeObject {
    PyObject_HEAD
    PyObject *engine;      // zv_robj_d or None
    PyObject *model_name;  // str or None
};

// ---------------------------------------------------------------------------
// Module state. The module is created once per process; its dictionary is
// where the hot paths look up `np`, `cv2`, `onnxruntime`, `os`, `sys`, `time`
// and `nms` at each call, so that rebinding a module attribute takes effect.

struct ModuleState {
    PyObject *module = nullptr;        // strong, set once initialisation succeeded
    PyObject *dict = nullptr;          // borrowed from module
    PyTypeObject *ndarray = nullptr;   // strong: numpy.ndarray
    PyTypeObject *stderr_type = nullptr;  // strong
    PyTypeObject *engine_type = nullptr;  // strong
    PyTypeObject *facade_type = nullptr;  // strong
};
extern ModuleState g;

// Interned strings, created once per process.
struct Names {
    PyObject *np, *cv2, *onnxruntime, *os, *sys, *time, *nms;
    PyObject *resize, *INTER_LINEAR, *interpolation;
    PyObject *image, *im_shape, *scale_factor, *run;
    PyObject *ltrb, *ltrb_conf, *class_id, *class_, *results, *ltrb_proc_sec;
    PyObject *get_available_providers, *InferenceSession, *providers, *lower;
    PyObject *get_inputs, *get_outputs, *name, *detect_objects;
    PyObject *stderr_, *fileno, *dup, *open, *devnull, *O_WRONLY, *dup2, *close;
    PyObject *read, *rb, *round_, *empty_str, *small, *auto_;
    PyObject *class_names[zv_facts::class_count];        // by class id
    PyObject *provider_names[zv_facts::provider_count];  // as zv_facts::provider_names
    PyObject *backend_keys[zv_facts::backend_count];     // as zv_facts::backends
    PyObject *threads, *SessionOptions, *sess_options, *intra_op_num_threads,
        *inter_op_num_threads, *environ_, *threads_env;
};
extern Names n;
bool init_names();

// A module global by interned name (new reference); falls back to the
// builtins and raises NameError like a Python global lookup.
PyObject *module_global(PyObject *name);

// A double rounded to the nearest float32 (IEEE round to nearest even), with
// finite values beyond the float32 range going to the infinities as the
// hardware conversion does, without relying on an out-of-range cast.
inline float narrow(double d) {
    constexpr double kMax = 3.4028234663852886e38;           // FLT_MAX
    constexpr double kOverflow = 3.4028235677973366e38;      // FLT_MAX + half an ulp
    if (!(d > kMax || d < -kMax)) return static_cast<float>(d);  // in range, or NaN
    if (d >= kOverflow) return HUGE_VALF;
    if (d <= -kOverflow) return -HUGE_VALF;
    return d > 0 ? static_cast<float>(kMax) : static_cast<float>(-kMax);
}

// The host's float conversion of `obj`, held as a 32-bit float.
inline bool to_float32(PyObject *obj, float *out) {
    double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) return false;
    *out = narrow(d);
    return true;
}

// ---------------------------------------------------------------------------
// Exceptions.

using zv::restore_exception;
using zv::take_exception;

// Raises `type(message)` as if by `raise type(message)` inside an `except`
// block handling `caught`: the new exception's __context__ is `caught`.
// With `from_none`, as `raise ... from None` (cause None, context suppressed).
// `caught` is consumed.
void raise_while_handling(PyObject *caught, PyObject *type, const char *message,
                          bool from_none);

// ---------------------------------------------------------------------------
// Types and pieces.

extern PyType_Spec suppress_stderr_type_def;
extern PyType_Spec engine_type_def;
extern PyType_Spec facade_type_def;

// SuppressStderr's block, used natively by the engine.
void suppress_stderr_enter(SuppressStderrObject *self);
void suppress_stderr_exit(SuppressStderrObject *self);

// Engine pipeline steps (zorvane_robj_d_preprocess.cpp, _decode.cpp).
PyObject *engine_preprocess_image(EngineObject *self, PyObject *image);
PyObject *engine_inference(EngineObject *self, PyObject *preprocessed);
PyObject *engine_postprocess_detections(EngineObject *self, PyObject *outputs);

// The keyword-only `threads` argument of the constructors: None gives 0
// (not set); otherwise a positive int (bool refused) up to INT32_MAX, else
// TypeError or ValueError.
bool parse_threads(PyObject *arg, int32_t *out);

// Takes the keyword `threads` out of `*kwargs` (replaced by a copy without
// it, held in `holder`); `*value` is the argument, or nullptr when absent.
bool split_threads_kwarg(PyObject **kwargs, zv::Ref *holder, PyObject **value);

// ZORVANE_ROBJ_THREADS as a count: 0 when unset, empty or invalid (an
// invalid value is warned about); -1 with an exception set when the warning
// was turned into an error.
int32_t threads_from_env();

// onnxruntime.SessionOptions() for `threads` intra-op threads (new reference).
PyObject *session_options(int32_t threads);

// Side of the square network input.
constexpr int32_t kInputSize = 640;

}  // namespace zvd
