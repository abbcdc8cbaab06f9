// KeyVault: a password-guarded store of named secrets that is created locked
// and never unlocks. Every unlock attempt fails after a fixed delay, and
// every store or read is refused.
#include "secret_internal.hpp"

namespace zv_secret {
namespace {

constexpr double kUnlockDelay = 0.1;  // seconds, per unlock attempt

struct KeyVault {
    PyObject_HEAD
    bool locked;  // refuses every store and retrieve; nothing clears it
};

PyObject *refuse() {
    PyErr_SetString(PyExc_ValueError, "Vault is locked");
    return nullptr;
}

// ---------------------------------------------------------------------------
// Methods.

PyObject *unlock_vault(PyObject *op, PyObject *master_password) {
    auto *self = reinterpret_cast<KeyVault *>(op);
    if (!zv::check_str_arg(master_password, "master_password")) return nullptr;
    // The password must be encodable text before anything else happens.
    zv::Ref raw(encode_utf8(master_password));
    if (!raw) return nullptr;
    zv::Ref delay(PyFloat_FromDouble(kUnlockDelay));
    if (!delay) return nullptr;
    zv::Ref slept(call_method(g.time, g.s_sleep, delay.get()));
    if (!slept) return nullptr;
    self->locked = true;
    Py_RETURN_FALSE;
}

PyObject *store_secret(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *const names[] = {"key", "value"};
    PyObject *values[2];
    if (!zv::parse_args("store_secret", args, kwargs, names, 2, 2, values)) return nullptr;
    if (!zv::check_str_arg(values[0], "key") || !zv::check_str_arg(values[1], "value"))
        return nullptr;
    return refuse();
}

PyObject *retrieve_secret(PyObject *, PyObject *key) {
    if (!zv::check_str_arg(key, "key")) return nullptr;
    return refuse();
}

// ---------------------------------------------------------------------------
// Type slots.

PyObject *vault_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *op = type->tp_alloc(type, 0);
    if (op) reinterpret_cast<KeyVault *>(op)->locked = true;
    return op;
}

int vault_init(PyObject *, PyObject *args, PyObject *kwargs) {
    return zv::parse_no_args("__init__", args, kwargs) ? 0 : -1;
}

int vault_traverse(PyObject *op, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(op));
    return 0;
}

int vault_clear(PyObject *) { return 0; }

void vault_dealloc(PyObject *op) {
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    vault_clear(op);
    type->tp_free(op);
    Py_DECREF(type);
}

PyMethodDef vault_methods[] = {
    {"unlock_vault", unlock_vault, METH_O, nullptr},
    {"store_secret", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(store_secret)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"retrieve_secret", retrieve_secret, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot vault_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(vault_new)},
    {Py_tp_init, reinterpret_cast<void *>(vault_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(vault_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(vault_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(vault_clear)},
    {Py_tp_methods, vault_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec key_vault_type = {
    "zorvane_road_objects.secret.KeyVault",
    sizeof(KeyVault),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    vault_slots,
};

}  // namespace zv_secret
