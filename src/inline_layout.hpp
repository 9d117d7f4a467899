// The interpreter's internal layouts that the inline attribute reads
// (compat_layouts.cpp) and the walk of a dict's items (DictItems, below)
// mirror, per minor version: Include/internal/pycore_dict.h and
// pycore_object.h of each. tests/native/layout_check.cpp compares every
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
// PyDictKeyEntry: the entries of combined keys that are not all str.
struct KeyEntry {
    Py_hash_t me_hash;
    PyObject* me_key;
    PyObject* me_value;
};
constexpr std::uint8_t kKeysGeneral = 0;  // DICT_KEYS_GENERAL
constexpr std::uint8_t kKeysSplit = 2;    // DICT_KEYS_SPLIT

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

namespace r7u::compat {

// The items of a dict in the order PyDict_Next gives them. A combined table
// (every dict but an instance's shared-key one) is read straight from its
// entries, a few instructions an item instead of a call; no code may run
// between the construction and the last next().
class DictItems {
public:
    explicit DictItems(PyObject* dict) : dict_(dict) {
#if R7U_INLINE_VALUES
        auto* d = reinterpret_cast<PyDictObject*>(dict);
        if (!g_same_version || d->ma_values) return;
        auto* keys = reinterpret_cast<layout::DictKeys*>(d->ma_keys);
        auto* entries = reinterpret_cast<PyObject**>(keys->dk_indices + (std::size_t{1} << keys->dk_log2_index_bytes));
        if (keys->dk_kind == layout::kKeysGeneral) {
            stride_ = sizeof(layout::KeyEntry) / sizeof(PyObject*);
            entries += offsetof(layout::KeyEntry, me_key) / sizeof(PyObject*);
        } else {
            stride_ = sizeof(layout::UnicodeEntry) / sizeof(PyObject*);
        }
        at_ = entries;
        end_ = entries + keys->dk_nentries * stride_;
#endif
    }

    bool next(PyObject*& key, PyObject*& value) {
        if (!stride_) return PyDict_Next(dict_, &pos_, &key, &value) != 0;
        for (; at_ != end_; at_ += stride_) {
            if (at_[1]) {  // a deleted entry has no value
                key = at_[0];
                value = at_[1];
                at_ += stride_;
                return true;
            }
        }
        return false;
    }

private:
    PyObject* dict_;
    Py_ssize_t pos_ = 0;
    Py_ssize_t stride_ = 0;  // 0: through PyDict_Next
    PyObject** at_ = nullptr;
    PyObject** end_ = nullptr;
};

}  // namespace r7u::compat
