// preprocess_image: one caller image (uint8, height x width x BGR, any
// strides) -> the model's three inputs. The image is scaled to fit a 640 x 640
// canvas anchored top-left (single-precision scale, truncated sizes) with
// OpenCV's bilinear `cv2.resize`; the paste, BGR -> RGB, /255 and the
// channel-first layout then happen in one native pass into a fresh
// contiguous float32 (1, 3, 640, 640) tensor whose padding is zero.
#include "zorvane_robj_d_internal.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zvd {
namespace {

// float32(v) / 255.0f for every byte value: what `astype(float32) / 255.0`
// computes element by element.
struct UnitTable {
    float v[256];
    UnitTable() {
        for (int i = 0; i < 256; ++i) v[i] = static_cast<float>(i) / 255.0f;
    }
};
const UnitTable kUnit;

// One pasted row of packed BGR pixels into the three row buffers.
void convert_row_table(const unsigned char *row, int32_t cols, float *rb, float *gb, float *bb) {
    const float *unit = kUnit.v;
    for (int32_t x = 0; x < cols; ++x) {
        const unsigned char *px = row + 3 * x;
        bb[x] = unit[px[0]];
        gb[x] = unit[px[1]];
        rb[x] = unit[px[2]];
    }
}

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
// The same values computed as float32(v) / 255.0f, which the compiler
// vectorises for AVX2 (an IEEE division, so bit for bit the table's values).
__attribute__((target("avx2"))) void convert_row_avx2(const unsigned char *row, int32_t cols,
                                                       float *rb, float *gb, float *bb) {
    for (int32_t x = 0; x < cols; ++x) {
        const unsigned char *px = row + 3 * x;
        bb[x] = static_cast<float>(px[0]) / 255.0f;
        gb[x] = static_cast<float>(px[1]) / 255.0f;
        rb[x] = static_cast<float>(px[2]) / 255.0f;
    }
}

using RowConverter = void (*)(const unsigned char *, int32_t, float *, float *, float *);

RowConverter pick_row_converter() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? convert_row_avx2 : convert_row_table;
}
const RowConverter convert_row = pick_row_converter();
#else
constexpr auto convert_row = convert_row_table;
#endif

// cv2.resize(image, (new_w, new_h), interpolation=cv2.INTER_LINEAR)
PyObject *cv2_resize(PyObject *image, int32_t new_w, int32_t new_h) {
    static PyObject *kwnames = nullptr;
    if (!kwnames && !(kwnames = PyTuple_Pack(1, n.interpolation))) return nullptr;
    zv::Ref cv2(module_global(n.cv2));
    if (!cv2) return nullptr;
    zv::Ref resize(PyObject_GetAttr(cv2.get(), n.resize));
    if (!resize) return nullptr;
    zv::Ref inter(PyObject_GetAttr(cv2.get(), n.INTER_LINEAR));
    if (!inter) return nullptr;
    zv::Ref size(Py_BuildValue("(ii)", new_w, new_h));
    if (!size) return nullptr;
    PyObject *args[3] = {image, size.get(), inter.get()};
    return PyObject_Vectorcall(resize.get(), args, 2, kwnames);
}

// Whether OpenCV's binding wraps the image's memory as it is: interleaved
// pixels (channel stride 1, pixel stride = channels) and rows that neither
// overlap nor run backwards. Other layouts it copies first, and it does not
// check that copy: a copy that cannot be allocated crashes it.
bool opencv_wraps(const zv::Buffer &src) {
    const Py_ssize_t h = src.shape(0), w = src.shape(1), c = src.shape(2);
    if (c > 1 && src.stride(2) != 1) return false;
    if (w > 1 && src.stride(1) != c) return false;
    return h <= 1 || src.stride(0) >= w * c;
}

// The image as OpenCV takes it: itself, or a contiguous copy made here
// (so that a copy that does not fit in memory is a MemoryError). When the
// target size is empty the resize refuses whatever it gets, so only the
// top-left pixel is copied.
PyObject *resize_source(PyObject *image, const zv::Buffer &src, bool empty_target) {
    if (opencv_wraps(src)) return Py_NewRef(image);
    zv::Ref part = zv::Ref::borrow(image);
    if (empty_target && src.shape(0) > 0 && src.shape(1) > 0) {
        zv::Ref stop(PyLong_FromLong(1));
        zv::Ref one(stop ? PySlice_New(nullptr, stop.get(), nullptr) : nullptr);
        zv::Ref key(one ? PyTuple_Pack(2, one.get(), one.get()) : nullptr);
        if (!key) return nullptr;
        part = zv::Ref(PyObject_GetItem(image, key.get()));
        if (!part) return nullptr;
    }
    return PyArray_FromAny(part.get(), nullptr, 0, 0,
                           NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ENSURECOPY | NPY_ARRAY_ENSUREARRAY,
                           nullptr);
}

// The source geometry of the paste, broadcast onto the target region like a
// NumPy slice assignment (a source axis of length 1 repeats).
struct Paste {
    const unsigned char *base;
    Py_ssize_t sy, sx, sc;  // byte strides, 0 on a broadcast axis
    int32_t rows, cols;     // target region, clipped to the canvas
};

bool plan_paste(const zv::Buffer &src, int32_t new_h, int32_t new_w, int32_t side,
                Paste *p) {
    const Py_ssize_t target[3] = {std::min(new_h, side), std::min(new_w, side), 3};
    bool fits = true;
    for (int d = 0; d < 3; ++d) {
        if (src.shape(d) != target[d] && src.shape(d) != 1) fits = false;
    }
    if (!fits) {
        PyErr_Format(PyExc_ValueError,
                     "could not broadcast input array from shape (%zd,%zd,%zd) into shape "
                     "(%zd,%zd,%zd)",
                     src.shape(0), src.shape(1), src.shape(2), target[0], target[1], target[2]);
        return false;
    }
    p->base = reinterpret_cast<const unsigned char *>(src.data());
    p->sy = src.shape(0) == 1 ? 0 : src.stride(0);
    p->sx = src.shape(1) == 1 ? 0 : src.stride(1);
    p->sc = src.shape(2) == 1 ? 0 : src.stride(2);
    p->rows = static_cast<int32_t>(target[0]);
    p->cols = static_cast<int32_t>(target[1]);
    return true;
}

// Canvas -> RGB -> [0, 1] -> channel-first, all planes of `out` written.
// Each pasted row is converted into three small row buffers first and then
// copied out: the three planes lie a multiple of the page size apart, and
// interleaved stores into them stall the loop.
void fill_tensor(const Paste &p, int32_t side, float *out) {
    const size_t plane = static_cast<size_t>(side) * side;
    const size_t row_bytes = static_cast<size_t>(side) * sizeof(float);
    const float *unit = kUnit.v;
    float buffers[3 * kInputSize];  // side never exceeds kInputSize
    float *rb = buffers, *gb = rb + side, *bb = gb + side;
    for (int32_t y = 0; y < side; ++y) {
        float *red = out + static_cast<size_t>(y) * side;
        float *green = red + plane;
        float *blue = green + plane;
        if (y >= p.rows || p.cols == 0) {
            std::memset(red, 0, row_bytes);
            std::memset(green, 0, row_bytes);
            std::memset(blue, 0, row_bytes);
            continue;
        }
        const unsigned char *row = p.base + y * p.sy;
        int32_t x = 0;
        if (p.sx == 3 && p.sc == 1) {
            convert_row(row, p.cols, rb, gb, bb);
            x = p.cols;
        } else {
            for (; x < p.cols; ++x) {
                const unsigned char *px = row + x * p.sx;
                bb[x] = unit[px[0]];
                gb[x] = unit[px[p.sc]];
                rb[x] = unit[px[2 * p.sc]];
            }
        }
        for (; x < side; ++x) rb[x] = gb[x] = bb[x] = 0.0f;
        std::memcpy(red, rb, row_bytes);
        std::memcpy(green, gb, row_bytes);
        std::memcpy(blue, bb, row_bytes);
    }
}

PyObject *float32_pair(float a, float b) {
    npy_intp dims[2] = {1, 2};
    PyObject *arr = PyArray_SimpleNew(2, dims, NPY_FLOAT32);
    if (!arr) return nullptr;
    float *d = static_cast<float *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(arr)));
    d[0] = a;
    d[1] = b;
    return arr;
}

}  // namespace

PyObject *engine_preprocess_image(EngineObject *self, PyObject *image) {
    zv::Buffer src;
    if (image == Py_None) {
        // Rejected before this step; reading its shape fails as it would.
        return PyObject_GetAttrString(image, "shape");
    }
    if (!src.acquire_u8(image, 3)) return nullptr;

    const int32_t h = static_cast<int32_t>(src.shape(0));
    const int32_t w = static_cast<int32_t>(src.shape(1));
    self->image_height = h;
    self->image_width = w;
    const int32_t side = std::min(self->input_size, kInputSize);

    // Single-precision scale and truncated target sizes.
    const int32_t m = std::max(h, w);
    int32_t new_h = 0, new_w = 0;
    float s = 0.0f;
    if (m != 0) {
        s = static_cast<float>(side) / static_cast<float>(m);
        const float fh = static_cast<float>(h) * s;
        const float fw = static_cast<float>(w) * s;
        if (std::isfinite(fh) && std::isfinite(fw)) {
            new_h = static_cast<int32_t>(fh);
            new_w = static_cast<int32_t>(fw);
        }
    } else {
        s = HUGE_VALF;  // no finite scale: the resize below refuses the image
    }
    zv::Ref source(resize_source(image, src, new_h <= 0 || new_w <= 0));
    src.release();
    if (!source) return nullptr;

    zv::Ref resized(cv2_resize(source.get(), new_w, new_h));
    if (!resized) return nullptr;
    zv::Buffer rbuf;
    if (!rbuf.acquire_u8(resized.get(), 3)) return nullptr;
    Paste paste;
    if (!plan_paste(rbuf, new_h, new_w, side, &paste)) return nullptr;

    npy_intp dims[4] = {1, 3, side, side};
    zv::Ref tensor(PyArray_SimpleNew(4, dims, NPY_FLOAT32));
    if (!tensor) return nullptr;
    float *out = static_cast<float *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(tensor.get())));
    Py_BEGIN_ALLOW_THREADS
    fill_tensor(paste, side, out);
    Py_END_ALLOW_THREADS
    rbuf.release();

    zv::Ref im_shape(float32_pair(static_cast<float>(side), static_cast<float>(side)));
    if (!im_shape) return nullptr;
    zv::Ref scale_factor(float32_pair(s, s));
    if (!scale_factor) return nullptr;
    zv::Ref record(PyDict_New());
    if (!record || PyDict_SetItem(record.get(), n.image, tensor.get()) < 0 ||
        PyDict_SetItem(record.get(), n.im_shape, im_shape.get()) < 0 ||
        PyDict_SetItem(record.get(), n.scale_factor, scale_factor.get()) < 0) {
        return nullptr;
    }
    return record.release();
}

}  // namespace zvd
