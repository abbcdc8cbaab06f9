// TokenEngine: bearer tokens for a user name, laid out as header.payload.
// signature. Header and payload are standard base64 (with padding), the
// signature is the hex HMAC-SHA256 of "header.payload" under a fixed key,
// and the claim carries an expiry one hour ahead. Validation accepts nothing.
#include "secret_internal.hpp"

namespace zv_secret {
namespace {

// HMAC key of every token.
const char token_signing_key[] = "zv-token-sign-key-20";
static_assert(sizeof token_signing_key - 1 == 20, "the signing key is 20 bytes");

const char token_header[] = "{\"alg\":\"HS256\",\"typ\":\"JWT\"}";
constexpr long kLifetime = 3600;  // seconds from issue to expiry

struct TokenEngine {
    PyObject_HEAD
};

Py_UCS4 short_escape(Py_UCS4 ch) {
    switch (ch) {
    case '"': return '"';
    case '\\': return '\\';
    case '\b': return 'b';
    case '\f': return 'f';
    case '\n': return 'n';
    case '\r': return 'r';
    case '\t': return 't';
    default: return 0;
    }
}

// `text` as the body of a JSON string: quote and backslash escaped, control
// characters as their short escapes or \u00XX. Text that needs no escaping
// comes back unchanged (the same object).
PyObject *json_string_body(PyObject *text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    Py_ssize_t extra = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (short_escape(ch)) extra += 1;
        else if (ch < 0x20) extra += 5;
    }
    if (extra == 0) return Py_NewRef(text);

    Py_UCS4 maxchar = PyUnicode_MAX_CHAR_VALUE(text);
    PyObject *out = PyUnicode_New(n + extra, maxchar < 127 ? 127 : maxchar);
    if (!out) return nullptr;
    const int okind = PyUnicode_KIND(out);
    void *odata = PyUnicode_DATA(out);
    static const char hex[] = "0123456789abcdef";
    Py_ssize_t j = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (Py_UCS4 esc = short_escape(ch)) {
            PyUnicode_WRITE(okind, odata, j++, '\\');
            PyUnicode_WRITE(okind, odata, j++, esc);
        } else if (ch < 0x20) {
            PyUnicode_WRITE(okind, odata, j++, '\\');
            PyUnicode_WRITE(okind, odata, j++, 'u');
            PyUnicode_WRITE(okind, odata, j++, '0');
            PyUnicode_WRITE(okind, odata, j++, '0');
            PyUnicode_WRITE(okind, odata, j++, hex[ch >> 4]);
            PyUnicode_WRITE(okind, odata, j++, hex[ch & 15]);
        } else {
            PyUnicode_WRITE(okind, odata, j++, ch);
        }
    }
    return out;
}

// base64.b64encode(raw).decode("ascii")
PyObject *b64_text(PyObject *raw) {
    zv::Ref b64(call_method(g.base64, g.s_b64encode, raw));
    if (!b64) return nullptr;
    return decode_ascii(b64.get());
}

// The claim text {"user":"<name>","exp":<expiry>} for an exact str name.
PyObject *claim_text(PyObject *user, PyObject *expiry) {
    zv::Ref body(json_string_body(user));
    if (!body) return nullptr;
    return PyUnicode_FromFormat("{\"user\":\"%U\",\"exp\":%S}", body.get(), expiry);
}

// ---------------------------------------------------------------------------
// Methods.

PyObject *generate_auth_token(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *const names[] = {"username", "password"};
    PyObject *values[2];
    if (!zv::parse_args("generate_auth_token", args, kwargs, names, 2, 2, values)) return nullptr;
    if (!zv::check_str_arg(values[0], "username") || !zv::check_str_arg(values[1], "password"))
        return nullptr;

    // None stands for the text "None"; both texts must be encodable.
    zv::Ref none_text;
    if (values[0] == Py_None || values[1] == Py_None) {
        none_text = zv::Ref(PyUnicode_FromString("None"));
        if (!none_text) return nullptr;
    }
    PyObject *user = values[0] == Py_None ? none_text.get() : values[0];
    PyObject *password = values[1] == Py_None ? none_text.get() : values[1];
    zv::Ref user_raw(encode_utf8(user));
    if (!user_raw) return nullptr;
    zv::Ref password_raw(encode_utf8(password));
    if (!password_raw) return nullptr;

    zv::Ref header_raw(PyBytes_FromStringAndSize(token_header, sizeof token_header - 1));
    if (!header_raw) return nullptr;
    zv::Ref header(b64_text(header_raw.get()));
    if (!header) return nullptr;

    // Expiry: int(time.time() + 3600), truncated toward zero.
    zv::Ref now(call_method(g.time, g.s_time));
    if (!now) return nullptr;
    zv::Ref lifetime(PyLong_FromLong(kLifetime));
    if (!lifetime) return nullptr;
    zv::Ref later(PyNumber_Add(now.get(), lifetime.get()));
    if (!later) return nullptr;
    zv::Ref expiry(PyNumber_Long(later.get()));
    if (!expiry) return nullptr;

    zv::Ref claim(claim_text(user, expiry.get()));
    if (!claim) return nullptr;
    zv::Ref claim_raw(encode_utf8(claim.get()));
    if (!claim_raw) return nullptr;
    zv::Ref payload(b64_text(claim_raw.get()));
    if (!payload) return nullptr;

    zv::Ref signing_input(PyUnicode_FromFormat("%U.%U", header.get(), payload.get()));
    if (!signing_input) return nullptr;
    zv::Ref signing_raw(encode_utf8(signing_input.get()));
    if (!signing_raw) return nullptr;
    zv::Ref key(PyBytes_FromStringAndSize(token_signing_key, sizeof token_signing_key - 1));
    if (!key) return nullptr;
    zv::Ref sha256(PyObject_GetAttr(g.hashlib, g.s_sha256));
    if (!sha256) return nullptr;
    zv::Ref mac(call_method(g.hmac, g.s_new, key.get(), signing_raw.get(), sha256.get()));
    if (!mac) return nullptr;
    zv::Ref signature(call_method(mac.get(), g.s_hexdigest));
    if (!signature) return nullptr;

    return PyUnicode_FromFormat("%U.%S", signing_input.get(), signature.get());
}

PyObject *validate_auth_token(PyObject *, PyObject *token) {
    if (!zv::check_str_arg(token, "token")) return nullptr;
    Py_RETURN_FALSE;
}

// ---------------------------------------------------------------------------
// Type slots.

PyObject *token_new(PyTypeObject *type, PyObject *, PyObject *) {
    return type->tp_alloc(type, 0);
}

int token_init(PyObject *, PyObject *args, PyObject *kwargs) {
    return zv::parse_no_args("__init__", args, kwargs) ? 0 : -1;
}

int token_traverse(PyObject *op, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(op));
    return 0;
}

int token_clear(PyObject *) { return 0; }

void token_dealloc(PyObject *op) {
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    token_clear(op);
    type->tp_free(op);
    Py_DECREF(type);
}

PyMethodDef token_methods[] = {
    {"generate_auth_token",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(generate_auth_token)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"validate_auth_token", validate_auth_token, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot token_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(token_new)},
    {Py_tp_init, reinterpret_cast<void *>(token_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(token_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(token_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(token_clear)},
    {Py_tp_methods, token_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec token_engine_type = {
    "zorvane_road_objects.secret.TokenEngine",
    sizeof(TokenEngine),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    token_slots,
};

}  // namespace zv_secret
