// Model provisioning: the guards around one download. The time limit of the
// whole call (with a watchdog that cuts a connection that outlives it) and
// the check of the downloaded bytes against the server's content digest.
#include "zorvane_robj_p_internal.hpp"
#include "zv_facts.hpp"

#include <cmath>
#include <cstring>

namespace zvp {

// ---------------------------------------------------------------------------
// Time limit.

// ZORVANE_ROBJ_DOWNLOAD_TIMEOUT: seconds for the whole call, as Python's
// float() reads them. Unset, unreadable, not finite or not above 0: the
// default.
bool read_time_limit(PyObject *os, double *out) {
    *out = default_time_limit;
    zv::Ref env(PyObject_GetAttrString(os, "environ"));
    if (!env) return false;
    zv::Ref text(PyObject_CallMethod(env.get(), "get", "s", zv_facts::env_download_timeout));
    if (!text) return false;
    if (text.get() == Py_None) return true;
    zv::Ref num(PyNumber_Float(text.get()));
    if (!num) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
        PyErr_Clear();
        return true;
    }
    double v = PyFloat_AS_DOUBLE(num.get());
    if (std::isfinite(v) && v > 0) *out = v;
    return true;
}

void Deadline::start(double limit_s) {
    limit_ = limit_s;
    end_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(limit_s));
}

double Deadline::remaining() const {
    return std::chrono::duration<double>(end_ - Clock::now()).count();
}

bool Deadline::expire() const {
    char *limit = PyOS_double_to_string(limit_, 'g', 6, 0, nullptr);
    if (!limit) return false;
    PyErr_Format(PyExc_TimeoutError,
                 "time limit of %s s exceeded (%s)", limit, zv_facts::env_download_timeout);
    PyMem_Free(limit);
    return false;
}

bool Deadline::check() const { return remaining() > 0 || expire(); }

bool Deadline::timeout(double per_operation, double *out) const {
    double left = remaining();
    if (left <= 0) return expire();
    *out = left < per_operation ? left : per_operation;
    return true;
}

bool Deadline::replace_error() const {
    if (!pending_is_exception()) return false;
    zv::PendingError caught;
    expire();  // always raises: the time-out wins, chained to the caught error
    caught.restore_chained();
    return false;
}

// ---------------------------------------------------------------------------
// Watchdog. The read time-out that requests applies counts per read, and a
// server that trickles a byte at a time never lets one run out; only closing
// the connection ends such a read. A timer thread shuts the socket down when
// the time is up, unless the download has disarmed it first. Both sides run
// with the GIL held, so the flags need no further guard.

namespace {

struct WatchState {
    PyObject *sock;
    bool armed;
    bool fired;
};

const char watch_capsule[] = "zorvane_robj_p.watch";

void free_watch_state(PyObject *capsule) {
    auto *st = static_cast<WatchState *>(PyCapsule_GetPointer(capsule, watch_capsule));
    if (!st) {
        PyErr_Clear();
        return;
    }
    Py_XDECREF(st->sock);
    delete st;
}

// The timer's function: shuts the socket down (both directions: 2 is
// SHUT_RDWR, and SD_BOTH on Windows, where a shutdown likewise ends a recv
// blocked in another thread); errors of a socket that is already closed are
// ignored.
PyObject *watch_expire(PyObject *capsule, PyObject *) {
    auto *st = static_cast<WatchState *>(PyCapsule_GetPointer(capsule, watch_capsule));
    if (!st) return nullptr;
    if (st->armed) {
        st->fired = true;
        zv::Ref r(PyObject_CallMethod(st->sock, "shutdown", "i", 2));
        if (!r) PyErr_Clear();
    }
    Py_RETURN_NONE;
}

PyMethodDef watch_def = {"_expire_download", watch_expire, METH_NOARGS, nullptr};

// getattr(obj, a).b...: a new reference, or null with no error pending when
// an attribute is missing.
PyObject *attr_chain(PyObject *obj, const char *const *names) {
    zv::Ref cur = zv::Ref::borrow(obj);
    for (; *names; ++names) {
        cur.reset(PyObject_GetAttrString(cur.get(), *names));
        if (!cur || cur.get() == Py_None) {
            if (!cur && !PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            return nullptr;
        }
    }
    return cur.release();
}

// The socket under a streamed requests response: urllib3's connection, or
// http.client's reader of it.
PyObject *response_socket(PyObject *response) {
    static const char *const by_connection[] = {"raw", "connection", "sock", nullptr};
    static const char *const by_reader[] = {"raw", "_fp", "fp", "raw", "_sock", nullptr};
    PyObject *sock = attr_chain(response, by_connection);
    if (sock || PyErr_Occurred()) return sock;
    return attr_chain(response, by_reader);
}

}  // namespace

bool Watchdog::arm(PyObject *response, double seconds) {
    zv::Ref sock(response_socket(response));
    if (!sock) return !PyErr_Occurred();  // nothing to cut: the per-chunk checks remain
    auto *st = new WatchState{sock.release(), true, false};
    zv::Ref capsule(PyCapsule_New(st, watch_capsule, free_watch_state));
    if (!capsule) {
        Py_DECREF(st->sock);
        delete st;
        return false;
    }
    zv::Ref fn(PyCFunction_New(&watch_def, capsule.get()));
    if (!fn) return false;
    zv::Ref timer_type(zv::import_from("threading", "Timer"));
    if (!timer_type) return false;
    zv::Ref timer(PyObject_CallFunction(timer_type.get(), "dO", seconds > 0 ? seconds : 0.0,
                                        fn.get()));
    if (!timer || PyObject_SetAttrString(timer.get(), "daemon", Py_True) < 0) return false;
    zv::Ref started(PyObject_CallMethod(timer.get(), "start", nullptr));
    if (!started) return false;
    state_ = std::move(capsule);
    timer_ = std::move(timer);
    return true;
}

bool Watchdog::fired() const {
    if (!state_) return false;
    auto *st = static_cast<WatchState *>(PyCapsule_GetPointer(state_.get(), watch_capsule));
    return st && st->fired;
}

void Watchdog::disarm() {
    if (!state_) return;
    zv::PendingError pending;
    auto *st = static_cast<WatchState *>(PyCapsule_GetPointer(state_.get(), watch_capsule));
    if (st) st->armed = false;
    zv::Ref r(PyObject_CallMethod(timer_.get(), "cancel", nullptr));
    timer_.reset();
    state_.reset();
}

// ---------------------------------------------------------------------------
// Content digest. The server may state a digest of the file in a
// Repr-Digest header (RFC 9530): a list of members such as
//   sha-256=:<base64>:, sha-512=:<base64>:;param=1
// Every sha-256 and sha-512 member that is well formed is checked; members
// of other algorithms are ignored, and so is a member whose value is not a
// byte sequence of the algorithm's digest length (malformed: as if absent).
// Of two members for one algorithm the later counts.

namespace {

int base64_value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Standard base64 with or without its "=" padding; false on anything else.
bool base64_decode(std::string_view in, std::string *out) {
    size_t pad = 0;
    while (!in.empty() && in.back() == '=' && pad < 2) {
        in.remove_suffix(1);
        ++pad;
    }
    if (in.size() % 4 == 1 || (pad && (in.size() + pad) % 4 != 0)) return false;
    out->clear();
    unsigned acc = 0;
    int bits = 0;
    for (unsigned char c : in) {
        int v = base64_value(c);
        if (v < 0) return false;
        acc = (acc << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out->push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
    return true;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool same_key(std::string_view key, const char *name) {
    if (key.size() != std::strlen(name)) return false;
    for (size_t i = 0; i < key.size(); ++i) {
        char c = key[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != name[i]) return false;
    }
    return true;
}

}  // namespace

const DigestCheck::Algorithm DigestCheck::algorithms[2] = {
    {"sha-256", "sha256", 32},
    {"sha-512", "sha512", 64},
};

void DigestCheck::parse_member(std::string_view member) {
    member = trim(member);
    size_t eq = member.find('=');
    if (eq == std::string_view::npos) return;
    std::string_view key = trim(member.substr(0, eq));
    std::string_view value = member.substr(eq + 1);
    value = trim(value.substr(0, value.find(';')));
    for (size_t i = 0; i < 2; ++i) {
        if (!same_key(key, algorithms[i].field)) continue;
        std::string bytes;
        if (value.size() >= 2 && value.front() == ':' && value.back() == ':' &&
            base64_decode(value.substr(1, value.size() - 2), &bytes) &&
            bytes.size() == algorithms[i].size)
            expected_[i] = std::move(bytes);
        return;
    }
}

bool DigestCheck::parse(PyObject *value) {
    for (auto &e : expected_) e.clear();
    if (value == Py_None) return true;
    Py_ssize_t n = 0;
    const char *text = PyUnicode_AsUTF8AndSize(value, &n);
    if (!text) return false;
    std::string_view rest(text, static_cast<size_t>(n));
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        parse_member(rest.substr(0, comma));
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return true;
}

bool DigestCheck::start() {
    for (size_t i = 0; i < 2; ++i) {
        hashers_[i].reset();
        if (expected_[i].empty()) continue;
        zv::Ref hashlib(PyImport_ImportModule("hashlib"));
        if (!hashlib) return false;
        hashers_[i].reset(PyObject_CallMethod(hashlib.get(), "new", "s", algorithms[i].hashlib));
        if (!hashers_[i]) return false;
    }
    return true;
}

bool DigestCheck::update(PyObject *chunk) {
    for (auto &h : hashers_) {
        if (!h) continue;
        zv::Ref r(PyObject_CallMethod(h.get(), "update", "O", chunk));
        if (!r) return false;
    }
    return true;
}

bool DigestCheck::verify() {
    for (size_t i = 0; i < 2; ++i) {
        if (!hashers_[i]) continue;
        zv::Ref got(PyObject_CallMethod(hashers_[i].get(), "digest", nullptr));
        if (!got) return false;
        if (!PyBytes_Check(got.get()) ||
            static_cast<size_t>(PyBytes_GET_SIZE(got.get())) != expected_[i].size() ||
            std::memcmp(PyBytes_AS_STRING(got.get()), expected_[i].data(),
                        expected_[i].size()) != 0) {
            PyErr_Format(PyExc_ValueError,
                         "%s digest of the download differs from the server's Repr-Digest",
                         algorithms[i].field);
            return false;
        }
    }
    return true;
}

}  // namespace zvp
