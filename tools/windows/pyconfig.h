/* Interpreter configuration for compiling extension modules against the
 * 64-bit Windows build of CPython (python3X.dll) with mingw-w64, as
 * tools/check_windows.sh does. The interpreter's public headers are the same
 * on every platform; this file stands in for the one that describes the
 * platform, so that the headers declare what the Windows interpreter
 * exports, with the type sizes of its LLP64 data model. It describes only
 * what the public headers read: nothing here is used to build the
 * interpreter itself.
 */
#ifndef ZV_WINDOWS_PYCONFIG_H
#define ZV_WINDOWS_PYCONFIG_H

#if !defined(_WIN64)
#error "this configuration describes 64-bit Windows: compile with x86_64-w64-mingw32"
#endif

/* ---- Platform ----------------------------------------------------------- */
#define MS_WIN64
#define MS_WIN32
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define PLATFORM "win32"

/* The Windows versions that the interpreter's build targets (Windows 8 and
 * later); <windows.h>, included after Python.h, declares the API of these
 * versions. */
#define Py_WINVER 0x0602
#ifndef WINVER
#define WINVER Py_WINVER
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT Py_WINVER
#endif

/* The interpreter lives in a DLL: its functions and data are imported
 * (__declspec(dllimport)), the module's init function is exported. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* ---- Type sizes (LLP64: long stays 32 bits, pointers are 64) ------------ */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_HKEY 8
#define ALIGNOF_LONG 4
#define ALIGNOF_SIZE_T 8
/* Process ids are C ints (no pid_t): SIZEOF_PID_T stays undefined. */

/* Py_ssize_t is intptr_t (long long), as __int64 is for the interpreter's
 * own compiler: neither HAVE_SSIZE_T nor HAVE_PY_SSIZE_T is defined, so the
 * headers take the pointer-sized integer. */

#define HAVE_LONG_LONG 1
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE 1

/* ---- Headers that exist on Windows ------------------------------------- */
#define HAVE_WCHAR_H 1
#define HAVE_STDDEF_H 1
#define HAVE_SYS_STAT_H 1
/* No <unistd.h>, <sys/time.h>, <sys/select.h> or <pthread.h>: the headers
 * take their Windows branches (MS_WINDOWS, NT_THREADS). */

/* ---- Interpreter build options of the release build -------------------- */
#define WITH_PYMALLOC 1
#define WITH_DOC_STRINGS 1
#define WITH_FREELISTS 1

#endif /* ZV_WINDOWS_PYCONFIG_H */
