// Declarations shared by the pieces of the provisioning module.
#pragma once

#include "zv_native.hpp"

#include <chrono>
#include <cstdarg>
#include <string>
#include <string_view>

namespace zvp {

using zv::restore_exception;
using zv::take_exception;

// zorvane_robj_p.cpp
PyObject *module_global(const char *name);
PyObject *get_data_dir();

// zorvane_robj_p_download.cpp
PyObject *internal_download_file(PyObject *file_name);

// zorvane_robj_p_support.cpp
bool pending_is_exception();
PyObject *error_text(PyObject *exc, Py_ssize_t n);
bool as_int32(PyObject *num, int *out);
bool int32_of(PyObject *x, int *out);
bool read_setting(PyObject *os, const char *name, int *out);
PyObject *fixed(double x, int decimals);
PyObject *whole_mib(int size);
bool print_message_v(const char *fmt, va_list ap);
PyObject *open_file(PyObject *path, const char *mode);
PyObject *read_text_stripped(PyObject *path);
bool write_text(PyObject *path, PyObject *text);
bool replace_file(PyObject *os, PyObject *src, PyObject *dst, double wait_s);
// 1: the lock is held (or none can be had on this file system); 0: another
// holder kept it for all of `wait_s` seconds; -1: a signal handler raised.
int lock_acquire(PyObject *path, double wait_s, void **token);
void lock_release(void *token);

// zorvane_robj_p_guard.cpp

// Seconds that one provisioning call may take unless
// ZORVANE_ROBJ_DOWNLOAD_TIMEOUT says otherwise.
constexpr double default_time_limit = 300.0;
bool read_time_limit(PyObject *os, double *out);

// The end of the time that one call may take. The failing members raise
// TimeoutError naming the limit and return false.
class Deadline {
public:
    void start(double limit_s);
    double remaining() const;
    bool check() const;  // false (TimeoutError) once the time is up
    bool expire() const;  // raises TimeoutError
    // The smaller of `per_operation` and the time left.
    bool timeout(double per_operation, double *out) const;
    // Replaces a pending error of the Exception hierarchy by the TimeoutError,
    // with the replaced error as its context.
    bool replace_error() const;

private:
    using Clock = std::chrono::steady_clock;
    Clock::time_point end_{};
    double limit_ = 0;
};

// Shuts down the socket of a streamed response when `seconds` have passed.
class Watchdog {
public:
    Watchdog() = default;
    ~Watchdog() { disarm(); }
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;
    bool arm(PyObject *response, double seconds);
    bool fired() const;
    void disarm();  // keeps a pending exception

private:
    zv::Ref timer_, state_;
};

// The server's Repr-Digest for a download, checked over its chunks.
class DigestCheck {
public:
    bool parse(PyObject *header_value);  // str, or None for no header
    bool start();
    bool update(PyObject *chunk);
    bool verify();  // ValueError on a mismatch

private:
    struct Algorithm {
        const char *field, *hashlib;
        size_t size;
    };
    static const Algorithm algorithms[2];
    void parse_member(std::string_view member);
    std::string expected_[2];
    zv::Ref hashers_[2];
};

}  // namespace zvp
