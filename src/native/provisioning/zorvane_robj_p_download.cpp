// Model provisioning: the cached download of one model file with its update
// check against the model server (`_internal_download_file`).
#include "zorvane_robj_p_internal.hpp"
#include "zv_facts.hpp"

#include <algorithm>

namespace {

// Seconds: each HEAD request, each connection attempt and read of the GET,
// and the wait for another call's download before a usable copy is used.
constexpr double head_timeout = 5.0;
constexpr double get_timeout = 30.0;
constexpr double short_lock_wait = 3.0;
// Seconds for which a model file that another process holds open is tried
// again before the new download is given up and the old copy kept
// (Windows; elsewhere an open file is replaced at once).
constexpr double replace_wait = 2.0;

// The update check's error text while another call holds the lock.
const char lock_busy[] = "another download of this file is still running";

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
    zv::PendingError pending;
    Ref r(PyObject_CallMethod(held.get(), "close", nullptr));
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
    Step decided(PyObject *result);
    bool read_settings();
    bool load_globals();
    bool build_paths();
    Step take_turn();
    Step check_cached_copy();
    bool examine_local_copy();
    bool examine_quietly();
    Step ask_server();
    PyObject *head();
    PyObject *timed_head();
    bool read_head(PyObject *response, int *server_size);
    Step update_check();
    Step compare_stamps();
    Step compare_sizes(int server_size);
    Step probe();
    Step download();
    Step request();
    Step refused(PyObject *status);
    bool read_get_headers();
    Step fetch_body();
    bool check_length(long long received);
    Step install(double start);
    PyObject *caught_text(Py_ssize_t n, bool cut);
    PyObject *finish_download();
    PyObject *local_path() { return Py_NewRef(local_.get()); }
    static PyObject *empty() { return PyUnicode_FromStringAndSize(nullptr, 0); }

    Ref name_;
    Ref os_, path_, requests_, time_, tqdm_;
    int verbose_ = 0, skip_ = 0;
    double limit_ = zvp::default_time_limit;
    zvp::Deadline deadline_;
    Ref url_, local_, stamp_path_, tmp_path_;
    bool usable_ = false;
    int local_size_ = 0;
    // The HEAD's Content-Length when it answered 200 with an unencoded
    // body; -1 when it gave none.
    long long head_length_ = -1;
    Ref server_stamp_;
    Ref result_;
    Ref response_, bar_, file_, total_;
    bool plain_ = true;  // the GET body comes without a content coding
    zvp::DigestCheck digest_;
    zvp::Watchdog watchdog_;
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

// The call's answer (a new reference; null when making it failed).
Step Download::decided(PyObject *result) {
    result_.reset(result);
    return result_ ? Step::done : Step::failed;
}

// Settings, read afresh on every call; the time limit counts from here.
bool Download::read_settings() {
    if (!load_globals() || !zvp::read_setting(os_.get(), zv_facts::env_verbose, &verbose_) ||
        !zvp::read_setting(os_.get(), zv_facts::env_skip_update, &skip_) ||
        !zvp::read_time_limit(os_.get(), &limit_))
        return false;
    deadline_.start(limit_);
    return true;
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

// Download address, data directory (created here) and the three paths. A
// base address without its trailing slash gets one.
bool Download::build_paths() {
    Ref env(PyObject_GetAttrString(os_.get(), "environ"));
    if (!env) return false;
    Ref base(PyObject_CallMethod(env.get(), "get", "s", zv_facts::env_model_server));
    if (!base) return false;
    int set = PyObject_IsTrue(base.get());
    if (set < 0) return false;
    // Unset or empty: the package's own model server on this machine.
    if (!set) base.reset(PyUnicode_FromString(zv_facts::default_server));
    if (!base) return false;
    Ref slash(PyUnicode_FromString("/"));
    Py_ssize_t ends = slash ? PyUnicode_Tailmatch(base.get(), slash.get(), 0, PY_SSIZE_T_MAX, 1)
                            : -1;
    if (ends < 0) return false;
    if (!ends) base.reset(PyUnicode_Concat(base.get(), slash.get()));
    if (!base) return false;
    url_.reset(PyUnicode_Concat(base.get(), name_.get()));
    if (!url_) return false;

    Ref dir(zvp::get_data_dir());
    if (!dir) return false;
    local_.reset(PyObject_CallMethod(path_.get(), "join", "OO", dir.get(), name_.get()));
    if (!local_) return false;
    Ref stamp_name(PyUnicode_FromFormat(zv_facts::stamp_format, name_.get()));
    if (!stamp_name) return false;
    stamp_path_.reset(PyObject_CallMethod(path_.get(), "join", "OO", dir.get(), stamp_name.get()));
    if (!stamp_path_) return false;
    tmp_path_.reset(PyUnicode_FromFormat("%S.tmp", local_.get()));
    return static_cast<bool>(tmp_path_);
}

// Calls for the same file take turns. A call that finds the lock held past a
// short wait does not queue behind the other download when it has a usable
// copy: it uses the copy, as when the server cannot be asked. Without one it
// waits for the rest of its time limit. `next`: the lock is taken (or none
// can be had); `done`: the result is decided.
Step Download::take_turn() {
    Ref lock_path(PyUnicode_FromFormat("%S.lock", local_.get()));
    if (!lock_path) return Step::failed;
    double left = std::max(deadline_.remaining(), 0.0);
    int got = zvp::lock_acquire(lock_path.get(), std::min(short_lock_wait, left), &lock_);
    if (got != 0) return got > 0 ? Step::next : Step::failed;

    if (!examine_quietly()) return Step::failed;
    if (usable_ && !examine_local_copy()) return Step::failed;
    if (usable_) {
        if (skip_ != 0) {
            if (!say("Skip update check enabled, using cached file")) return Step::failed;
        } else if (!say("Checking server for updates...") ||
                   !say("Server unreachable: %s", lock_busy) ||
                   !say("%s Using cached file (offline mode)", check_mark)) {
            return Step::failed;
        }
        return decided(local_path());
    }
    got = zvp::lock_acquire(lock_path.get(), std::max(deadline_.remaining(), 0.0), &lock_);
    if (got != 0) return got > 0 ? Step::next : Step::failed;
    deadline_.expire();
    Ref exc(zvp::take_exception());
    Ref text(exc ? zvp::error_text(exc.get(), 100) : nullptr);
    if (!text || !say("Download error: %U", text.get())) return Step::failed;
    return decided(empty());
}

// The local copy: usable when it exists with a readable size above 0.
bool Download::examine_local_copy() {
    usable_ = false;
    local_size_ = 0;
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

bool Download::examine_quietly() {
    int level = verbose_;
    verbose_ = 0;
    bool ok = examine_local_copy();
    verbose_ = level;
    return ok;
}

// The copy in the data directory. With update checks off, a usable copy is
// the answer without asking the server.
Step Download::check_cached_copy() {
    if (!examine_local_copy()) return Step::failed;
    if (skip_ == 0 || !usable_) return Step::next;
    if (!say("Skip update check enabled, using cached file")) return Step::failed;
    return decided(local_path());
}

// The server, asked whether a usable copy is current, or else for the file's
// size. When it cannot be reached the usable copy is the answer, or, without
// one, nothing. `next`: the file is to be downloaded.
Step Download::ask_server() {
    if (usable_) {
        Step s = update_check();
        if (s != Step::failed) return s;
        Ref text(caught_text(50, false));
        if (!text || !say("Server unreachable: %U", text.get()) ||
            !say("%s Using cached file (offline mode)", check_mark))
            return Step::failed;
        return decided(local_path());
    }
    if (!say("File not found locally, must download")) return Step::failed;
    if (probe() != Step::failed) return Step::next;
    Ref text(caught_text(50, false));
    if (!text || !say("Can't reach server: %U", text.get())) return Step::failed;
    return decided(empty());
}

// requests.head(url, timeout=5), or less when the call's time runs out:
// redirects are not followed.
PyObject *Download::head() {
    double timeout = 0;
    if (!deadline_.timeout(head_timeout, &timeout)) return nullptr;
    Ref f(PyObject_GetAttrString(requests_.get(), "head"));
    if (!f) return nullptr;
    return call_kw(f.get(), url_.get(), Py_BuildValue("{s:d}", "timeout", timeout));
}

// True when `headers` has no content coding other than identity.
int no_content_coding(PyObject *headers) {
    Ref coding(PyObject_CallMethod(headers, "get", "ss", "content-encoding", "identity"));
    if (!coding) return -1;
    Ref identity(PyUnicode_FromString("identity"));
    return identity ? PyObject_RichCompareBool(coding.get(), identity.get(), Py_EQ) : -1;
}

// The server's size ("content-length", 0 when absent, as a 32-bit integer)
// and modification stamp ("last-modified", empty when absent) from a HEAD
// response; the stamp is kept for the rest of the call, and so is the size
// when it is the file's own (status 200, no content coding).
bool Download::read_head(PyObject *response, int *server_size) {
    Ref zero(PyLong_FromLong(0));
    Ref length(zero ? header(response, "content-length", zero.get()) : nullptr);
    if (!length || !zvp::int32_of(length.get(), server_size)) return false;
    Ref no_stamp(empty());
    server_stamp_.reset(no_stamp ? header(response, "last-modified", no_stamp.get()) : nullptr);
    if (!server_stamp_) return false;

    head_length_ = -1;
    Ref headers(PyObject_GetAttrString(response, "headers"));
    Ref status(headers ? PyObject_GetAttrString(response, "status_code") : nullptr);
    Ref ok_status(status ? PyLong_FromLong(200) : nullptr);
    Ref key(ok_status ? PyUnicode_FromString("content-length") : nullptr);
    if (!key) return false;
    int ok = PyObject_RichCompareBool(status.get(), ok_status.get(), Py_EQ);
    int declared = ok > 0 ? PySequence_Contains(headers.get(), key.get()) : ok;
    int plain = declared > 0 ? no_content_coding(headers.get()) : declared;
    if (plain < 0) return false;
    if (plain) head_length_ = *server_size;
    return true;
}

// The HEAD request against a usable copy: current by stamp, else by size.
Step Download::update_check() {
    if (!say("Checking server for updates...")) return Step::failed;
    Ref response(timed_head());
    if (!response) return Step::failed;
    int server_size = 0;
    if (!read_head(response.get(), &server_size)) return Step::failed;
    Ref mib(zvp::whole_mib(server_size));
    if (!mib || !say("Server: size=%U MB", mib.get())) return Step::failed;

    Ref has_stamp(PyObject_CallMethod(path_.get(), "exists", "O", stamp_path_.get()));
    if (!has_stamp) return Step::failed;
    int stamped = PyObject_IsTrue(has_stamp.get());
    if (stamped < 0) return Step::failed;
    if (stamped) return compare_stamps();
    return compare_sizes(server_size);
}

// The HEAD request, with its duration reported when verbose.
PyObject *Download::timed_head() {
    double start = 0, end = 0;
    if (verbose_ >= 1 && !now(&start)) return nullptr;
    Ref response(head());
    if (!response || verbose_ < 1) return response.release();
    if (!now(&end)) return nullptr;
    Ref secs(zvp::fixed(end - start, 2));
    if (!secs || !say("Server check took %U seconds", secs.get())) return nullptr;
    return response.release();
}

// Without a timestamp file the copy is current when its size is the
// server's; the server's stamp is then kept for the next check.
Step Download::compare_sizes(int server_size) {
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

// The timestamp file against the server's stamp, both with surrounding
// whitespace stripped. Equal stamps confirm the copy unless its size differs
// from the one the server gave for the file: a cut or damaged copy is
// fetched again whatever its stamp says.
Step Download::compare_stamps() {
    Ref local_stamp(zvp::read_text_stripped(stamp_path_.get()));
    if (!local_stamp) return Step::failed;
    Ref server_stamp(PyObject_CallMethod(server_stamp_.get(), "strip", nullptr));
    if (!server_stamp) return Step::failed;
    int same = PyObject_RichCompareBool(local_stamp.get(), server_stamp.get(), Py_EQ);
    if (same < 0) return Step::failed;
    if (!same)
        return say("%s Server has newer version, will download", warning_sign) ? Step::next
                                                                               : Step::failed;
    if (head_length_ >= 0 && head_length_ != local_size_)
        return say("%s Size mismatch", warning_sign) ? Step::next : Step::failed;
    if (!say("%s File is up to date, using cached version", check_mark)) return Step::failed;
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

// A body without content coding has the length that the GET announced or,
// when it announced none, the one the HEAD gave; a body of any other length
// is refused.
bool Download::check_length(long long received) {
    if (!plain_) return true;
    Ref headers(PyObject_GetAttrString(response_.get(), "headers"));
    Ref key(headers ? PyUnicode_FromString("content-length") : nullptr);
    if (!key) return false;
    int declared = PySequence_Contains(headers.get(), key.get());
    if (declared < 0) return false;
    Ref expected(declared ? Py_NewRef(total_.get())
                          : head_length_ >= 0 ? PyLong_FromLongLong(head_length_) : nullptr);
    if (!expected) return !PyErr_Occurred();
    Ref got(PyLong_FromLongLong(received));
    if (!got) return false;
    int whole = PyObject_RichCompareBool(got.get(), expected.get(), Py_EQ);
    if (whole < 0) return false;
    if (!whole) {
        PyErr_Format(PyExc_OSError, "incomplete body: received %lld of %S bytes", received,
                     expected.get());
        return false;
    }
    return true;
}

// Streams the body into the temporary file, then checks its length and, when
// the server gave one, its digest.
Step Download::fetch_body() {
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
        if (!written || !digest_.update(chunk.get())) return Step::failed;
        received += n;
        if (!deadline_.check()) return Step::failed;
    }
    if (!close_quietly(file_)) return Step::failed;
    // A connection cut for the time limit ends the body like a clean close.
    if (watchdog_.fired()) {
        deadline_.expire();
        return Step::failed;
    }
    if (!check_length(received) || (plain_ && !digest_.verify())) return Step::failed;
    return Step::next;
}

// The streamed GET: the status, the total and what the headers promise. The
// watchdog bounds the transfer by the call's time limit.
Step Download::request() {
    double timeout = 0;
    if (!deadline_.timeout(get_timeout, &timeout)) return Step::failed;
    Ref get(PyObject_GetAttrString(requests_.get(), "get"));
    if (!get) return Step::failed;
    response_.reset(call_kw(get.get(), url_.get(),
                            Py_BuildValue("{s:O,s:d}", "stream", Py_True, "timeout", timeout)));
    if (!response_ || !watchdog_.arm(response_.get(), deadline_.remaining())) return Step::failed;

    Ref status(PyObject_GetAttrString(response_.get(), "status_code"));
    if (!status) return Step::failed;
    Ref ok_status(PyLong_FromLong(200));
    int failed = ok_status ? PyObject_RichCompareBool(status.get(), ok_status.get(), Py_NE) : -1;
    if (failed < 0) return Step::failed;
    if (failed) return refused(status.get());
    return read_get_headers() ? Step::next : Step::failed;
}

// A GET answered with another status than 200: the usable copy, if any, is
// the answer.
Step Download::refused(PyObject *status) {
    if (!say("Download failed: HTTP %S", status)) return Step::failed;
    if (!usable_) return decided(empty());
    if (!say("Using cached file instead")) return Step::failed;
    return decided(local_path());
}

// What the GET's headers promise: the total, the stamp when the HEAD gave
// none, whether the body comes without a content coding, and the digest that
// such a body must match.
bool Download::read_get_headers() {
    Ref zero(PyLong_FromLong(0));
    Ref length(zero ? header(response_.get(), "content-length", zero.get()) : nullptr);
    total_.reset(length ? PyNumber_Long(length.get()) : nullptr);
    if (!total_) return false;
    int have = PyObject_IsTrue(server_stamp_.get());
    if (have < 0) return false;
    if (!have) {
        Ref no_stamp(empty());
        server_stamp_.reset(no_stamp ? header(response_.get(), "last-modified", no_stamp.get())
                                     : nullptr);
        if (!server_stamp_) return false;
    }
    Ref headers(PyObject_GetAttrString(response_.get(), "headers"));
    int plain = headers ? no_content_coding(headers.get()) : -1;
    if (plain < 0) return false;
    plain_ = plain != 0;
    Ref digest(header(response_.get(), "repr-digest", Py_None));
    if (!digest || !digest_.parse(digest.get())) return false;
    return !plain_ || digest_.start();
}

// The download into the temporary file, then the atomic replace.
Step Download::download() {
    if (!say("Downloading from server...")) return Step::failed;
    double start = 0;
    if (verbose_ >= 1 && !now(&start)) return Step::failed;
    Step s = request();
    if (s != Step::next) return s;

    bar_.reset(call_kw(tqdm_.get(), nullptr,
                       Py_BuildValue("{s:O,s:s,s:O,s:O}", "total", total_.get(), "unit", "iB",
                                     "unit_scale", Py_True, "desc", name_.get())));
    if (!bar_) return Step::failed;
    file_.reset(zvp::open_file(tmp_path_.get(), "wb"));
    if (!file_) return Step::failed;
    if (fetch_body() != Step::next) return Step::failed;
    if (!close_quietly(bar_)) return Step::failed;
    return install(start);
}

// One atomic replace: the old copy stays in place until the new one is
// complete, and when it cannot be replaced. Then the stamp and the closing
// message.
Step Download::install(double start) {
    const double wait = std::min(replace_wait, std::max(deadline_.remaining(), 0.0));
    if (!zvp::replace_file(os_.get(), tmp_path_.get(), local_.get(), wait)) return Step::failed;
    int have = PyObject_IsTrue(server_stamp_.get());
    if (have < 0) return Step::failed;
    if (have && !zvp::write_text(stamp_path_.get(), server_stamp_.get())) return Step::failed;

    if (verbose_ >= 1) {
        double end = 0;
        if (!now(&end)) return Step::failed;
        Ref k(PyLong_FromLong(1024));
        Ref kib(k ? PyNumber_TrueDivide(total_.get(), k.get()) : nullptr);
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

// Takes a pending error of the Exception hierarchy for an error message of
// `n` characters; an error once the time is up is reported as such. Null
// when the error is not one to handle (it stays pending).
PyObject *Download::caught_text(Py_ssize_t n, bool cut) {
    if (!zvp::pending_is_exception()) return nullptr;
    if (cut || deadline_.remaining() <= 0) deadline_.replace_error();
    Ref exc(zvp::take_exception());
    return exc ? zvp::error_text(exc.get(), n) : nullptr;
}

// The steps of one call: our turn for the file, the cached copy, the server's
// word on it, then the download into a temporary file that replaces the copy
// once it is verified.
PyObject *Download::run() {
    if (!read_settings()) return nullptr;
    if (name_.get() == Py_None || PyUnicode_GET_LENGTH(name_.get()) == 0) return empty();
    if (!say("Processing: %U", name_.get())) return nullptr;
    if (!build_paths()) return nullptr;
    Step s = take_turn();
    if (s == Step::next) s = check_cached_copy();
    if (s == Step::next) s = ask_server();
    if (s != Step::next) return s == Step::done ? result_.release() : nullptr;

    if (!server_stamp_) server_stamp_.reset(empty());
    if (!server_stamp_) return nullptr;
    return finish_download();
}

// The download with its failure handling: the temporary file goes, the old
// copy stays.
PyObject *Download::finish_download() {
    Step s = download();
    bool cut = watchdog_.fired();
    watchdog_.disarm();
    // The file, the bar and the connection are closed whatever happened.
    close_quietly(file_);
    close_quietly(bar_);
    if (!close_quietly(response_) && s != Step::failed) s = Step::failed;
    if (s == Step::done) return result_.release();

    Ref text(caught_text(100, cut));
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
