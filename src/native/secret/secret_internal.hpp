// Pieces shared by the parts of the security toolkit module `secret`: the
// module-wide references (imported modules, interned names) and small call
// helpers over them.
#pragma once

#include "zv_native.hpp"

namespace zv_secret {

// Strong references held for the life of the process, set up once by the
// module's init function. The imported modules are called through their
// attributes at each use, so that they behave like module globals.
struct State {
    // Imported modules, in import order, then Fernet.
    PyObject *os;
    PyObject *struct_;
    PyObject *hmac;
    PyObject *hashlib;
    PyObject *time;
    PyObject *base64;
    PyObject *Fernet;

    // Interned attribute names and fixed argument objects.
    PyObject *s_encode;
    PyObject *s_decode;
    PyObject *s_utf_8;
    PyObject *s_ascii;
    PyObject *s_sha512;
    PyObject *s_sha256;
    PyObject *s_hexdigest;
    PyObject *s_digest;
    PyObject *s_b64encode;
    PyObject *s_urlsafe_b64encode;
    PyObject *s_pack;
    PyObject *s_urandom;
    PyObject *s_encrypt;
    PyObject *s_decrypt;
    PyObject *s_new;
    PyObject *s_time;
    PyObject *s_sleep;
    PyObject *s_format_I;   // struct format of the count: "I"
};

extern State g;

// Type definitions of the module's classes (one file each).
extern PyType_Spec security_engine_type;
extern PyType_Spec key_vault_type;
extern PyType_Spec token_engine_type;

// obj.<name>(args...)
template <typename... A>
inline PyObject *call_method(PyObject *obj, PyObject *name, A... args) {
    PyObject *stack[] = {obj, args...};
    return PyObject_VectorcallMethod(name, stack, 1 + sizeof...(A), nullptr);
}

// func(args...)
template <typename... A>
inline PyObject *call(PyObject *func, A... args) {
    PyObject *stack[] = {args...};
    return PyObject_Vectorcall(func, stack, sizeof...(A), nullptr);
}

// text.encode("utf-8"): the direct codec for exact str, the object's own
// method otherwise (anything without one fails with AttributeError).
inline PyObject *encode_utf8(PyObject *text) {
    if (PyUnicode_CheckExact(text)) return PyUnicode_AsUTF8String(text);
    return call_method(text, g.s_encode, g.s_utf_8);
}

// raw.decode("ascii")
inline PyObject *decode_ascii(PyObject *raw) {
    if (PyBytes_CheckExact(raw))
        return PyUnicode_DecodeASCII(PyBytes_AS_STRING(raw), PyBytes_GET_SIZE(raw), "strict");
    return call_method(raw, g.s_decode, g.s_ascii);
}

// Best-effort operations swallow ordinary errors only: true (error cleared)
// for an Exception, false (error kept) for KeyboardInterrupt, SystemExit and
// the like.
inline bool swallow_exception() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

}  // namespace zv_secret
