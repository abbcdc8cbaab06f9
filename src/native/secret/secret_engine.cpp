// SecurityEngine: Fernet encryption of text under a master key derived from
// a fixed seed, replaced by a random one at every thousandth encryption.
// Earlier keys stay in memory so that nothing encrypted before a rotation is
// lost.
#include "secret_internal.hpp"

#include <climits>
#include <cstring>
#include <utility>

namespace zv_secret {
namespace {

// Character codes of the 29-character master key seed. The text is only
// ever assembled from this table, at each derivation.
const Py_UCS4 master_key_seed[29] = {
    90, 111, 114, 118, 97, 110, 101, 45, 82, 111, 97, 100, 79, 98, 106,
    101, 99, 116, 115, 47, 83, 101, 99, 75, 101, 121, 35, 50, 57,
};

constexpr int kDerivationRounds = 100;
constexpr int kBase64Every = 10;
constexpr int kRotationPeriod = 1000;
constexpr Py_ssize_t kKeySize = 32;
constexpr Py_ssize_t kCountSize = 4;

// Only bytes and a bytearray are held, which take part in no reference
// cycle: the collector need not (and does not) see them, so no key is
// reachable through it.
struct SecurityEngine {
    PyObject_HEAD
    PyObject *master_key;     // bytes, 32 bytes: the current key
    int encryption_count;     // encrypt_sensitive_data calls so far, failed ones included
    PyObject *earlier_keys;   // bytearray: the keys rotated out, 32 bytes each, oldest first
};

bool is_key(PyObject *key) {
    if (PyBytes_CheckExact(key) && PyBytes_GET_SIZE(key) == kKeySize) return true;
    PyErr_SetString(PyExc_ValueError, "a master key must be 32 bytes");
    return false;
}

// The master key: 100 rounds of hex SHA-512 over the seed text, with the
// text replaced by its base64 form after rounds 0, 10, ..., 90; the first 32
// characters of the result, as UTF-8 bytes.
PyObject *derive_master_key() {
    zv::Ref text(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, master_key_seed,
                                           sizeof master_key_seed / sizeof master_key_seed[0]));
    if (!text) return nullptr;
    for (int i = 0; i < kDerivationRounds; ++i) {
        zv::Ref raw(encode_utf8(text.get()));
        if (!raw) return nullptr;
        zv::Ref hash(call_method(g.hashlib, g.s_sha512, raw.get()));
        if (!hash) return nullptr;
        text = zv::Ref(call_method(hash.get(), g.s_hexdigest));
        if (!text) return nullptr;
        if (i % kBase64Every == 0) {
            raw = zv::Ref(encode_utf8(text.get()));
            if (!raw) return nullptr;
            zv::Ref b64(call_method(g.base64, g.s_b64encode, raw.get()));
            if (!b64) return nullptr;
            text = zv::Ref(decode_ascii(b64.get()));
            if (!text) return nullptr;
        }
    }
    zv::Ref head(PySequence_GetSlice(text.get(), 0, kKeySize));
    if (!head) return nullptr;
    return encode_utf8(head.get());
}

// Fernet(urlsafe_b64encode(key[:32])), a new object for every call.
PyObject *make_fernet(PyObject *key) {
    zv::Ref head(PySequence_GetSlice(key, 0, kKeySize));
    if (!head) return nullptr;
    zv::Ref fernet_key(call_method(g.base64, g.s_urlsafe_b64encode, head.get()));
    if (!fernet_key) return nullptr;
    return call(g.Fernet, fernet_key.get());
}

// Moves the current key into the earlier keys and makes `new_key` current.
// Nothing here can let another thread run.
bool install_key(SecurityEngine *self, zv::Ref new_key) {
    PyObject *earlier = self->earlier_keys;
    const Py_ssize_t n = PyByteArray_GET_SIZE(earlier);
    if (PyByteArray_Resize(earlier, n + kKeySize) < 0) return false;
    std::memcpy(PyByteArray_AS_STRING(earlier) + n, PyBytes_AS_STRING(self->master_key), kKeySize);
    Py_SETREF(self->master_key, new_key.release());
    return true;
}

// New key = SHA-256(32 random bytes + old key). The old key joins the
// earlier keys; on any failure the engine is left as it was.
//
// The random source lets other threads run while it waits, and so may the
// hashing calls, so another rotation of this engine can happen meanwhile.
// The random bytes are therefore taken first, and the new key is installed
// only if the key it was derived from is still the current one; otherwise
// it is derived again from the key that replaced it. Every rotation thus
// builds on the one before, and no key ever leaves the engine's history.
bool rotate_keys(SecurityEngine *self) {
    zv::Ref size(PyLong_FromSsize_t(kKeySize));
    if (!size) return false;
    zv::Ref random(call_method(g.os, g.s_urandom, size.get()));
    if (!random) return false;
    for (;;) {
        zv::Ref old_key = zv::Ref::borrow(self->master_key);
        zv::Ref material(PyNumber_Add(random.get(), old_key.get()));
        if (!material) return false;
        zv::Ref hash(call_method(g.hashlib, g.s_sha256, material.get()));
        if (!hash) return false;
        zv::Ref new_key(call_method(hash.get(), g.s_digest));
        if (!new_key || !is_key(new_key.get())) return false;
        // Held references keep old_key alive, so identity is a safe test.
        if (self->master_key == old_key.get()) return install_key(self, std::move(new_key));
    }
}

// Fernet-decrypt `token` under `key`: the plaintext, or null with an error.
PyObject *decrypt_with(PyObject *key, PyObject *token) {
    zv::Ref fernet(make_fernet(key));
    if (!fernet) return nullptr;
    return call_method(fernet.get(), g.s_decrypt, token);
}

// plaintext[4:].decode("utf-8"), strictly.
PyObject *text_after_count(PyObject *plaintext) {
    if (PyBytes_CheckExact(plaintext)) {
        Py_ssize_t n = PyBytes_GET_SIZE(plaintext);
        if (n <= kCountSize) return PyUnicode_FromStringAndSize("", 0);
        return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(plaintext) + kCountSize, n - kCountSize,
                                    "strict");
    }
    zv::Ref rest(PySequence_GetSlice(plaintext, kCountSize, PY_SSIZE_T_MAX));
    if (!rest) return nullptr;
    return call_method(rest.get(), g.s_decode, g.s_utf_8);
}

// ---------------------------------------------------------------------------
// Methods.

PyObject *encrypt_sensitive_data(PyObject *op, PyObject *data) {
    auto *self = reinterpret_cast<SecurityEngine *>(op);
    if (self->encryption_count == INT_MAX) {
        PyErr_Format(PyExc_OverflowError,
                     "encryption_count cannot exceed %d; use a new SecurityEngine", INT_MAX);
        return nullptr;
    }
    const int number = ++self->encryption_count;
    if (number % kRotationPeriod == 0 && !rotate_keys(self)) return nullptr;

    zv::Ref key = zv::Ref::borrow(self->master_key);
    zv::Ref fernet(make_fernet(key.get()));
    if (!fernet) return nullptr;
    zv::Ref count(PyLong_FromLong(number));
    if (!count) return nullptr;
    zv::Ref metadata(call_method(g.struct_, g.s_pack, g.s_format_I, count.get()));
    if (!metadata) return nullptr;
    zv::Ref raw(encode_utf8(data));
    if (!raw) return nullptr;
    zv::Ref plaintext(PyNumber_Add(metadata.get(), raw.get()));
    if (!plaintext) return nullptr;
    return call_method(fernet.get(), g.s_encrypt, plaintext.get());
}

// The text inside a token made by this engine under its current key or any
// earlier one (newest first), or None. Ordinary errors never leave.
PyObject *decrypt_sensitive_data(PyObject *op, PyObject *encrypted_data) {
    auto *self = reinterpret_cast<SecurityEngine *>(op);
    zv::Ref key = zv::Ref::borrow(self->master_key);
    zv::Ref plaintext(decrypt_with(key.get(), encrypted_data));
    if (!plaintext) {
        if (!swallow_exception()) return nullptr;
        // Earlier keys, newest first, from a copy: the calls below run
        // Python code, which may rotate this engine's keys meanwhile.
        zv::Ref earlier(PyBytes_FromObject(self->earlier_keys));
        if (!earlier) return swallow_exception() ? Py_NewRef(Py_None) : nullptr;
        const char *keys = PyBytes_AS_STRING(earlier.get());
        for (Py_ssize_t i = PyBytes_GET_SIZE(earlier.get()) / kKeySize; !plaintext && i-- > 0;) {
            key = zv::Ref(PyBytes_FromStringAndSize(keys + i * kKeySize, kKeySize));
            if (key) plaintext = zv::Ref(decrypt_with(key.get(), encrypted_data));
            if (!plaintext && !swallow_exception()) return nullptr;
        }
        if (!plaintext) Py_RETURN_NONE;
    }
    PyObject *text = text_after_count(plaintext.get());
    if (!text) {
        if (!swallow_exception()) return nullptr;
        Py_RETURN_NONE;
    }
    return text;
}

// ---------------------------------------------------------------------------
// Type slots.

PyObject *engine_new(PyTypeObject *type, PyObject *, PyObject *) {
    zv::Ref key(derive_master_key());
    if (!key || !is_key(key.get())) return nullptr;
    zv::Ref earlier(PyByteArray_FromStringAndSize(nullptr, 0));
    if (!earlier) return nullptr;
    PyObject *op = type->tp_alloc(type, 0);
    if (!op) return nullptr;
    auto *self = reinterpret_cast<SecurityEngine *>(op);
    self->master_key = key.release();
    self->encryption_count = 0;
    self->earlier_keys = earlier.release();
    return op;
}

// The engine is fully set up by tp_new; a repeated __init__ call changes
// nothing, so neither the count nor the key can be reset.
int engine_init(PyObject *, PyObject *args, PyObject *kwargs) {
    return zv::parse_no_args("__init__", args, kwargs) ? 0 : -1;
}

int engine_traverse(PyObject *op, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(op));
    return 0;
}

// The fields hold no reference that could close a cycle: nothing to break.
int engine_clear(PyObject *) { return 0; }

void engine_dealloc(PyObject *op) {
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    auto *self = reinterpret_cast<SecurityEngine *>(op);
    Py_CLEAR(self->master_key);
    Py_CLEAR(self->earlier_keys);
    type->tp_free(op);
    Py_DECREF(type);
}

PyMethodDef engine_methods[] = {
    {"encrypt_sensitive_data", encrypt_sensitive_data, METH_O, nullptr},
    {"decrypt_sensitive_data", decrypt_sensitive_data, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(engine_new)},
    {Py_tp_init, reinterpret_cast<void *>(engine_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(engine_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(engine_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(engine_clear)},
    {Py_tp_methods, engine_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec security_engine_type = {
    "zorvane_road_objects.secret.SecurityEngine",
    sizeof(SecurityEngine),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    engine_slots,
};

}  // namespace zv_secret
