/* The configuration of CPython 3.12 for 64-bit Windows, as far as the
   public headers read it (nothing else is defined): enough to compile extension modules against those
   headers with a cross compiler (scripts/windows-check.sh). The values are
   those of the official win_amd64 build: LLP64 (4-byte long), 2-byte
   wchar_t, a shared python312.dll whose functions and data are imported. */
#ifndef R7U_WINDOWS_PYCONFIG_H
#define R7U_WINDOWS_PYCONFIG_H

#if !defined(_WIN64)
#error "this configuration describes 64-bit Windows only"
#endif

#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define WITH_PYMALLOC 1
#define WITH_DOC_STRINGS 1

/* Functions and data live in python312.dll: the headers declare them
   __declspec(dllimport) and export PyInit_* from the module. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* Sizes of the LLP64 model. */
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1

/* Py_ssize_t is the pointer-sized signed integer. */
#define HAVE_PY_SSIZE_T 1
typedef long long Py_ssize_t;
#define PY_SSIZE_T_MAX LLONG_MAX
#define PY_LONG_LONG long long
#define HAVE_LONG_LONG 1
#define PY_FORMAT_SIZE_T "z"

#define HAVE_WCHAR_H 1
#define HAVE_USABLE_WCHAR_T 1
#define HAVE_SYS_STAT_H 1

#endif /* R7U_WINDOWS_PYCONFIG_H */
