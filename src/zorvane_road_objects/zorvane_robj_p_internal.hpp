// Declarations shared by the pieces of the provisioning module.
#pragma once

#include "zv_native.hpp"

#include <cstdarg>

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
bool lock_acquire(PyObject *path, void **token);
void lock_release(void *token);

}  // namespace zvp
