// The interpreter's internal layouts that the inline attribute reads
// (compat_layouts.cpp) mirror, per minor version: Include/internal/pycore_dict.h
// and pycore_object.h of each. tests/native/layout_check.cpp compares every
// field and constant here with that version's own headers (CI builds it
// for each supported version), so a moved field fails a build, not a user.
#pragma once

#include "compat.hpp"

// GIL builds of 3.12 to 3.15: the versions whose layouts are mirrored below.
#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x03100000
#define R7U_INLINE_VALUES 1
#else
#define R7U_INLINE_VALUES 0
#endif

#if R7U_INLINE_VALUES
namespace r7u::layout {

// PyDictKeysObject (struct _dictkeysobject).
struct DictKeys {
    Py_ssize_t dk_refcnt;
    std::uint8_t dk_log2_size;
    std::uint8_t dk_log2_index_bytes;
    std::uint8_t dk_kind;
    std::uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
    char dk_indices[];
};
// PyDictUnicodeEntry: the entries of split (shared) keys.
struct UnicodeEntry {
    PyObject* me_key;
    PyObject* me_value;
};
constexpr std::uint8_t kKeysSplit = 2;  // DICT_KEYS_SPLIT

#if PY_VERSION_HEX >= 0x030D0000
// PyDictValues from 3.13: right after the object header of an instance
// whose class has Py_TPFLAGS_INLINE_VALUES and no fields of its own.
struct DictValues {
    std::uint8_t capacity;
    std::uint8_t size;
    std::uint8_t embedded;
    std::uint8_t valid;
    PyObject* values[1];
};
#else
// 3.12: the word this many words before the object holds the instance dict
// or, tagged with the low bit, a pointer one byte before the values array.
constexpr int kDictOrValuesWordsBefore = 3;
#endif

}  // namespace r7u::layout
#endif
