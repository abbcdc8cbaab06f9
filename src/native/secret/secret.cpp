// The security toolkit: text encryption under a derived, periodically rotated
// key (SecurityEngine), a password-guarded key vault (KeyVault) and signed
// bearer tokens (TokenEngine). This file holds the module itself: its imports,
// its shared references and its public names.
#include "secret_internal.hpp"

namespace zv_secret {

State g;

namespace {

PyObject *g_module = nullptr;  // the module, once built (single-phase init)

PyObject **state_slots[] = {
    &g.os, &g.struct_, &g.hmac, &g.hashlib, &g.time, &g.base64, &g.Fernet,
    &g.s_encode, &g.s_decode, &g.s_utf_8, &g.s_ascii, &g.s_sha512, &g.s_sha256,
    &g.s_hexdigest, &g.s_digest, &g.s_b64encode, &g.s_urlsafe_b64encode, &g.s_pack,
    &g.s_urandom, &g.s_encrypt, &g.s_decrypt, &g.s_new, &g.s_time, &g.s_sleep,
    &g.s_format_I,
};

void clear_state() {
    for (PyObject **slot : state_slots) Py_CLEAR(*slot);
}

bool intern(PyObject **slot, const char *text) {
    *slot = PyUnicode_InternFromString(text);
    return *slot != nullptr;
}

bool make_names() {
    return intern(&g.s_encode, "encode") && intern(&g.s_decode, "decode") &&
           intern(&g.s_utf_8, "utf-8") && intern(&g.s_ascii, "ascii") &&
           intern(&g.s_sha512, "sha512") && intern(&g.s_sha256, "sha256") &&
           intern(&g.s_hexdigest, "hexdigest") && intern(&g.s_digest, "digest") &&
           intern(&g.s_b64encode, "b64encode") &&
           intern(&g.s_urlsafe_b64encode, "urlsafe_b64encode") && intern(&g.s_pack, "pack") &&
           intern(&g.s_urandom, "urandom") && intern(&g.s_encrypt, "encrypt") &&
           intern(&g.s_decrypt, "decrypt") && intern(&g.s_new, "new") &&
           intern(&g.s_time, "time") && intern(&g.s_sleep, "sleep") &&
           intern(&g.s_format_I, "I");
}

// `import <name>`: bound in the module's namespace and kept in *slot.
bool import_module(PyObject *m, const char *name, PyObject **slot) {
    *slot = PyImport_ImportModule(name);
    return *slot && PyModule_AddObjectRef(m, name, *slot) == 0;
}

bool add_type(PyObject *m, PyType_Spec *tdef, PyObject *names) {
    zv::Ref type(PyType_FromModuleAndSpec(m, tdef, nullptr));
    if (!type) return false;
    const char *dot = std::strrchr(tdef->name, '.');
    const char *short_name = dot ? dot + 1 : tdef->name;
    zv::Ref name(PyUnicode_FromString(short_name));
    return name && PyModule_AddObjectRef(m, short_name, type.get()) == 0 &&
           PyList_Append(names, name.get()) == 0;
}

PyModuleDef secret_module = {
    PyModuleDef_HEAD_INIT,
    "zorvane_road_objects.secret",
    nullptr,
    -1,
    nullptr,
};

PyObject *build_module() {
    zv::Ref m(PyModule_Create(&secret_module));
    if (!m || !make_names()) return nullptr;

    if (!import_module(m.get(), "os", &g.os) || !import_module(m.get(), "struct", &g.struct_) ||
        !import_module(m.get(), "hmac", &g.hmac) ||
        !import_module(m.get(), "hashlib", &g.hashlib) ||
        !import_module(m.get(), "time", &g.time) ||
        !import_module(m.get(), "base64", &g.base64))
        return nullptr;
    g.Fernet = zv::import_from("cryptography.fernet", "Fernet");
    if (!g.Fernet || PyModule_AddObjectRef(m.get(), "Fernet", g.Fernet) < 0) return nullptr;

    zv::Ref all(PyList_New(0));
    if (!all || !add_type(m.get(), &security_engine_type, all.get()) ||
        !add_type(m.get(), &key_vault_type, all.get()) ||
        !add_type(m.get(), &token_engine_type, all.get()) ||
        PyModule_AddObjectRef(m.get(), "__all__", all.get()) < 0)
        return nullptr;
    return m.release();
}

}  // namespace
}  // namespace zv_secret

PyMODINIT_FUNC PyInit_secret(void) {
    using namespace zv_secret;
    if (g_module) return Py_NewRef(g_module);
    PyObject *m = build_module();
    if (!m) {
        clear_state();
        return nullptr;
    }
    g_module = Py_NewRef(m);
    return m;
}
