// Model provisioning: the cached download of one model file with its update
// check against the model server (`_internal_download_file`).
#include "zorvane_robj_p_internal.hpp"

namespace {

// Where the models are fetched from unless ZORVANE_ROBJ_MODEL_SERVER names
// another base address: the package's own model server on this machine.
const char default_server[] = "http://127.0.0.1:8470/";

const char check_mark[] = "\xe2\x9c\x93";    // U+2713
const char warning_sign[] = "\xe2\x9a\xa0";  // U+26A0

using zv::Ref;

// Outcome of one guarded step: the call's result is decided, the operation
// goes on with the next step, or an exception is pending.
enum class Step { done, next, failed };

// Calls `callable(arg, **kwargs)`; `kwargs` is a new reference or null.
PyObject *call_kw(PyObject *callable, PyObject *arg, PyObject *kwargs) {
    Ref owned_kwargs(kwargs);
    if (!owned_kwargs) return nullptr;
    Ref args(arg ? PyTuple_Pack(1, arg) : PyTuple_New(0));
    if (!args) return nullptr;
    return PyObject_Call(callable, args.get(), owned_kwargs.get());
}

// headers.get(key, default)
PyObject *header(PyObject *response, const char *key, PyObject *dflt) {
    Ref headers(PyObject_GetAttrString(response, "headers"));
    if (!headers) return nullptr;
    return PyObject_CallMethod(headers.get(), "get", "sO", key, dflt);
}

// Closes `obj` (a file, bar or response) if set, keeping any pending
// exception and ignoring errors of the close itself when one is pending.
bool close_quietly(Ref &obj) {
    if (!obj) return true;
    Ref held(obj.release());
    if (!PyErr_Occurred()) {
        Ref r(PyObject_CallMethod(held.get(), "close", nullptr));
        return static_cast<bool>(r);
    }
    PyObject *pending = zvp::take_exception();
    Ref r(PyObject_CallMethod(held.get(), "close", nullptr));
    if (!r) PyErr_Clear();
    zvp::restore_exception(pending);
    return false;
}

class Download {
public:
    explicit Download(PyObject *file_name) : name_(Ref::borrow(file_name)) {}
    ~Download() { zvp::lock_release(lock_); }
    Download(const Download &) = delete;
    Download &operator=(const Download &) = delete;

    PyObject *run();

private:
    bool say(const char *fmt, ...);
    bool now(double *t);
    bool load_globals();
    bool build_paths();
    bool examine_local_copy();
    PyObject *head();
    bool read_head(PyObject *response, int *server_size);
    Step update_check();
    Step probe();
    Step download();
    Step fetch_body(PyObject *total);
    PyObject *local_path() { return Py_NewRef(local_.get()); }
    static PyObject *empty() { return PyUnicode_FromStringAndSize(nullptr, 0); }

    Ref name_;
    Ref os_, path_, requests_, time_, tqdm_;
    int verbose_ = 0, skip_ = 0;
    Ref url_, local_, stamp_path_, tmp_path_;
    bool usable_ = false;
    int local_size_ = 0;
    Ref server_stamp_;
    Ref result_;
    Ref response_, bar_, file_;
    void *lock_ = nullptr;
};

// print_download: one message when the verbosity is 1 or more.
bool Download::say(const char *fmt, ...) {
    if (verbose_ < 1) return true;
    va_list ap;
    va_start(ap, fmt);
    bool ok = zvp::print_message_v(fmt, ap);
    va_end(ap);
    return ok;
}

bool Download::now(double *t) {
    Ref v(PyObject_CallMethod(time_.get(), "time", nullptr));
    if (!v) return false;
    *t = PyFloat_AsDouble(v.get());
    return !(*t == -1.0 && PyErr_Occurred());
}

bool Download::load_globals() {
    os_.reset(zvp::module_global("os"));
    if (!os_) return false;
    path_.reset(PyObject_GetAttrString(os_.get(), "path"));
    if (!path_) return false;
    requests_.reset(zvp::module_global("requests"));
    if (!requests_) return false;
    time_.reset(zvp::module_global("time"));
    if (!time_) return false;
    tqdm_.reset(zvp::module_global("tqdm"));
    return static_cast<bool>(tqdm_);
}

// Download address, data directory (created here) and the three paths.
bool Download::build_paths() {
    Ref environ(PyObject_GetAttrString(os_.get(), "environ"));
    if (!environ) return false;
    Ref base(PyObject_CallMethod(environ.get(), "get", "s", "ZORVANE_ROBJ_MODEL_SERVER"));
    if (!base) return false;
    int set = PyObject_IsTrue(base.get());
    if (set < 0) return false;
    if (!set) base.reset(PyUnicode_FromString(default_server));
    if (!base) return false;
    url_.reset(PyUnicode_Concat(base.get(), name_.get()));
    if (!url_) return false;

    Ref dir(zvp::get_data_dir());
    if (!dir) return false;
    local_.reset(PyObject_CallMethod(path_.get(), "join", "OO", dir.get(), name_.get()));
    if (!local_) return false;
    Ref stamp_name(PyUnicode_FromFormat("%U.last_modified", name_.get()));
    if (!stamp_name) return false;
    stamp_path_.reset(PyObject_CallMethod(path_.get(), "join", "OO", dir.get(), stamp_name.get()));
    if (!stamp_path_) return false;
    tmp_path_.reset(PyUnicode_FromFormat("%S.tmp", local_.get()));
    return static_cast<bool>(tmp_path_);
}

// The local copy: usable when it exists with a readable size above 0.
bool Download::examine_local_copy() {
    Ref exists(PyObject_CallMethod(path_.get(), "exists", "O", local_.get()));
    if (!exists) return false;
    int found = PyObject_IsTrue(exists.get());
    if (found < 0) return false;
    if (!found) return say("File not cached locally");

    Ref size(PyObject_CallMethod(path_.get(), "getsize", "O", local_.get()));
    int n = 0;
    if (!size || !zvp::as_int32(size.get(), &n)) {
        if (!zvp::pending_is_exception()) return false;
        PyErr_Clear();
        return say("Error checking cached file, will redownload");
    }
    if (n <= 0) return say("Cached file is empty, will redownload");
    usable_ = true;
    local_size_ = n;
    Ref mib(zvp::whole_mib(n));
    return mib && say("Found cached file: %U (%U MB)", name_.get(), mib.get());
}

// requests.head(url, timeout=5): redirects are not followed.
PyObject *Download::head() {
    Ref f(PyObject_GetAttrString(requests_.get(), "head"));
    if (!f) return nullptr;
    return call_kw(f.get(), url_.get(), Py_BuildValue("{s:i}", "timeout", 5));
}

// The server's size ("content-length", 0 when absent, as a 32-bit integer)
// and modification stamp ("last-modified", empty when absent) from a HEAD
// response; the stamp is kept for the rest of the call.
bool Download::read_head(PyObject *response, int *server_size) {
    Ref zero(PyLong_FromLong(0));
    Ref length(zero ? header(response, "content-length", zero.get()) : nullptr);
    if (!length || !zvp::int32_of(length.get(), server_size)) return false;
    Ref no_stamp(empty());
    server_stamp_.reset(no_stamp ? header(response, "last-modified", no_stamp.get()) : nullptr);
    return static_cast<bool>(server_stamp_);
}

// The HEAD request against a usable copy: current by stamp, else by size.
Step Download::update_check() {
    if (!say("Checking server for updates...")) return Step::failed;
    double start = 0, end = 0;
    if (verbose_ >= 1 && !now(&start)) return Step::failed;
    Ref response(head());
    if (!response) return Step::failed;
    if (verbose_ >= 1) {
        if (!now(&end)) return Step::failed;
        Ref secs(zvp::fixed(end - start, 2));
        if (!secs || !say("Server check took %U seconds", secs.get())) return Step::failed;
    }
    int server_size = 0;
    if (!read_head(response.get(), &server_size)) return Step::failed;
    Ref mib(zvp::whole_mib(server_size));
    if (!mib || !say("Server: size=%U MB", mib.get())) return Step::failed;

    Ref has_stamp(PyObject_CallMethod(path_.get(), "exists", "O", stamp_path_.get()));
    if (!has_stamp) return Step::failed;
    int stamped = PyObject_IsTrue(has_stamp.get());
    if (stamped < 0) return Step::failed;
    if (stamped) {
        Ref local_stamp(zvp::read_text_stripped(stamp_path_.get()));
        if (!local_stamp) return Step::failed;
        int same = PyObject_RichCompareBool(local_stamp.get(), server_stamp_.get(), Py_EQ);
        if (same < 0) return Step::failed;
        if (same) {
            if (!say("%s File is up to date, using cached version", check_mark))
                return Step::failed;
            result_.reset(local_path());
            return Step::done;
        }
        return say("%s Server has newer version, will download", warning_sign) ? Step::next
                                                                               : Step::failed;
    }

    if (!say("No timestamp file, comparing sizes...")) return Step::failed;
    if (local_size_ != server_size)
        return say("%s Size mismatch", warning_sign) ? Step::next : Step::failed;
    if (!say("%s Size matches, assuming up to date", check_mark)) return Step::failed;
    int have = PyObject_IsTrue(server_stamp_.get());
    if (have < 0) return Step::failed;
    if (have && !zvp::write_text(stamp_path_.get(), server_stamp_.get())) return Step::failed;
    result_.reset(local_path());
    return Step::done;
}

// The HEAD request when there is no usable copy: size and stamp only.
Step Download::probe() {
    Ref response(head());
    if (!response) return Step::failed;
    int server_size = 0;
    if (!read_head(response.get(), &server_size)) return Step::failed;
    Ref mib(zvp::whole_mib(server_size));
    if (!mib || !say("Server file: %U MB", mib.get())) return Step::failed;
    return Step::next;
}

// Streams the body into the temporary file; checks that a body with a
// declared length (and no content coding) arrived whole.
Step Download::fetch_body(PyObject *total) {
    Ref iter_content(PyObject_GetAttrString(response_.get(), "iter_content"));
    if (!iter_content) return Step::failed;
    Ref chunks(call_kw(iter_content.get(), nullptr, Py_BuildValue("{s:i}", "chunk_size", 8192)));
    if (!chunks) return Step::failed;
    Ref it(PyObject_GetIter(chunks.get()));
    if (!it) return Step::failed;
    long long received = 0;
    for (;;) {
        Ref chunk(PyIter_Next(it.get()));
        if (!chunk) {
            if (PyErr_Occurred()) return Step::failed;
            break;
        }
        Py_ssize_t n = PyObject_Size(chunk.get());
        if (n < 0) return Step::failed;
        Ref advanced(PyObject_CallMethod(bar_.get(), "update", "n", n));
        if (!advanced) return Step::failed;
        Ref written(PyObject_CallMethod(file_.get(), "write", "O", chunk.get()));
        if (!written) return Step::failed;
        received += n;
    }
    if (!close_quietly(file_)) return Step::failed;

    Ref headers(PyObject_GetAttrString(response_.get(), "headers"));
    if (!headers) return Step::failed;
    Ref key(PyUnicode_FromString("content-length"));
    if (!key) return Step::failed;
    int declared = PySequence_Contains(headers.get(), key.get());
    if (declared < 0) return Step::failed;
    Ref coding(PyObject_CallMethod(headers.get(), "get", "ss", "content-encoding", "identity"));
    if (!coding) return Step::failed;
    Ref identity(PyUnicode_FromString("identity"));
    int plain = identity ? PyObject_RichCompareBool(coding.get(), identity.get(), Py_EQ) : -1;
    if (plain < 0) return Step::failed;
    if (declared && plain) {
        Ref got(PyLong_FromLongLong(received));
        if (!got) return Step::failed;
        int whole = PyObject_RichCompareBool(got.get(), total, Py_EQ);
        if (whole < 0) return Step::failed;
        if (!whole) {
            PyErr_Format(PyExc_OSError, "incomplete body: received %lld of %S bytes", received,
                         total);
            return Step::failed;
        }
    }
    return Step::next;
}

// The streamed GET into the temporary file, then the atomic replace.
Step Download::download() {
    if (!say("Downloading from server...")) return Step::failed;
    double start = 0, end = 0;
    if (verbose_ >= 1 && !now(&start)) return Step::failed;
    Ref get(PyObject_GetAttrString(requests_.get(), "get"));
    if (!get) return Step::failed;
    response_.reset(call_kw(get.get(), url_.get(),
                            Py_BuildValue("{s:O,s:i}", "stream", Py_True, "timeout", 30)));
    if (!response_) return Step::failed;

    Ref status(PyObject_GetAttrString(response_.get(), "status_code"));
    if (!status) return Step::failed;
    Ref ok_status(PyLong_FromLong(200));
    int failed = ok_status ? PyObject_RichCompareBool(status.get(), ok_status.get(), Py_NE) : -1;
    if (failed < 0) return Step::failed;
    if (failed) {
        if (!say("Download failed: HTTP %S", status.get())) return Step::failed;
        if (usable_) {
            if (!say("Using cached file instead")) return Step::failed;
            result_.reset(local_path());
        } else {
            result_.reset(empty());
        }
        return result_ ? Step::done : Step::failed;
    }

    Ref zero(PyLong_FromLong(0));
    Ref length(zero ? header(response_.get(), "content-length", zero.get()) : nullptr);
    Ref total(length ? PyNumber_Long(length.get()) : nullptr);
    if (!total) return Step::failed;
    int have = PyObject_IsTrue(server_stamp_.get());
    if (have < 0) return Step::failed;
    if (!have) {
        Ref no_stamp(empty());
        server_stamp_.reset(no_stamp ? header(response_.get(), "last-modified", no_stamp.get())
                                     : nullptr);
        if (!server_stamp_) return Step::failed;
    }

    bar_.reset(call_kw(tqdm_.get(), nullptr,
                       Py_BuildValue("{s:O,s:s,s:O,s:O}", "total", total.get(), "unit", "iB",
                                     "unit_scale", Py_True, "desc", name_.get())));
    if (!bar_) return Step::failed;
    file_.reset(zvp::open_file(tmp_path_.get(), "wb"));
    if (!file_) return Step::failed;
    if (fetch_body(total.get()) != Step::next) return Step::failed;
    if (!close_quietly(bar_)) return Step::failed;

    // One atomic replace: the old copy stays in place until the new one is
    // complete.
    Ref replaced(PyObject_CallMethod(os_.get(), "replace", "OO", tmp_path_.get(), local_.get()));
    if (!replaced) return Step::failed;
    have = PyObject_IsTrue(server_stamp_.get());
    if (have < 0) return Step::failed;
    if (have && !zvp::write_text(stamp_path_.get(), server_stamp_.get())) return Step::failed;

    if (verbose_ >= 1) {
        if (!now(&end)) return Step::failed;
        Ref k(PyLong_FromLong(1024));
        Ref kib(k ? PyNumber_TrueDivide(total.get(), k.get()) : nullptr);
        Ref mib(kib ? PyNumber_TrueDivide(kib.get(), k.get()) : nullptr);
        double size = mib ? PyFloat_AsDouble(mib.get()) : -1.0;
        if (size == -1.0 && PyErr_Occurred()) return Step::failed;
        Ref shown(zvp::fixed(size, 1));
        Ref secs(shown ? zvp::fixed(end - start, 2) : nullptr);
        if (!secs || !say("%s Download complete: %U MB in %U seconds", check_mark, shown.get(),
                          secs.get()))
            return Step::failed;
    }
    result_.reset(local_path());
    return Step::done;
}

PyObject *Download::run() {
    // Settings, read afresh on every call.
    if (!load_globals()) return nullptr;
    if (!zvp::read_setting(os_.get(), "ZORVANE_VERBOSE", &verbose_)) return nullptr;
    if (!zvp::read_setting(os_.get(), "ZORVANE_ROBJ_SKIP_UPDATE", &skip_)) return nullptr;

    if (name_.get() == Py_None || PyUnicode_GET_LENGTH(name_.get()) == 0) return empty();
    if (!say("Processing: %U", name_.get())) return nullptr;
    if (!build_paths()) return nullptr;

    // Calls for the same file take turns from here on.
    Ref lock_path(PyUnicode_FromFormat("%S.lock", local_.get()));
    if (!lock_path || !zvp::lock_acquire(lock_path.get(), &lock_)) return nullptr;

    if (!examine_local_copy()) return nullptr;
    if (skip_ != 0 && usable_) {
        if (!say("Skip update check enabled, using cached file")) return nullptr;
        return local_path();
    }

    if (usable_) {
        Step s = update_check();
        if (s == Step::done) return result_.release();
        if (s == Step::failed) {
            if (!zvp::pending_is_exception()) return nullptr;
            Ref exc(zvp::take_exception());
            Ref text(zvp::error_text(exc.get(), 50));
            if (!text || !say("Server unreachable: %U", text.get()) ||
                !say("%s Using cached file (offline mode)", check_mark))
                return nullptr;
            return local_path();
        }
    } else {
        if (!say("File not found locally, must download")) return nullptr;
        if (probe() == Step::failed) {
            if (!zvp::pending_is_exception()) return nullptr;
            Ref exc(zvp::take_exception());
            Ref text(zvp::error_text(exc.get(), 50));
            if (!text || !say("Can't reach server: %U", text.get())) return nullptr;
            return empty();
        }
    }
    if (!server_stamp_) server_stamp_.reset(empty());
    if (!server_stamp_) return nullptr;

    Step s = download();
    // The file, the bar and the connection are closed whatever happened.
    close_quietly(file_);
    close_quietly(bar_);
    if (!close_quietly(response_) && s != Step::failed) s = Step::failed;
    if (s == Step::done) return result_.release();
    if (!zvp::pending_is_exception()) return nullptr;

    Ref exc(zvp::take_exception());
    Ref text(zvp::error_text(exc.get(), 100));
    if (!text || !say("Download error: %U", text.get())) return nullptr;
    // A broken-off download removes its own temporary file; a failure of the
    // removal is ignored.
    Ref leftover(PyObject_CallMethod(path_.get(), "exists", "O", tmp_path_.get()));
    int present = leftover ? PyObject_IsTrue(leftover.get()) : -1;
    if (present > 0) {
        Ref removed(PyObject_CallMethod(os_.get(), "remove", "O", tmp_path_.get()));
        present = removed ? 0 : -1;
    }
    if (present < 0) {
        if (!zvp::pending_is_exception()) return nullptr;
        PyErr_Clear();
    }
    if (!usable_) return empty();
    if (!say("Using cached file instead")) return nullptr;
    return local_path();
}

}  // namespace

namespace zvp {

// `_internal_download_file`: the local path of a usable copy of `file_name`
// in the data directory, or the empty string when there is none.
PyObject *internal_download_file(PyObject *file_name) {
    Download d(file_name);
    return d.run();
}

}  // namespace zvp
