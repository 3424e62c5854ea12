// The characters of a str, read without making a str of each: in place on
// the full API, copied out in small blocks on the limited one.
#pragma once

#include "pyref.hpp"

#include <cstddef>

namespace tvx {

// Calls visit(c) for the characters of the exact str `text` from index
// `start` up to (not including) `end`, in order, or from end - 1 down to
// start when `backwards`; stops at the first call that returns true.
// Returns 1 when a call stopped it, 0 when every character was visited, -1
// with an error set.  The indexes are clamped to the str.
template <class Visit>
inline int each_char(PyObject* text, Py_ssize_t start, Py_ssize_t end, bool backwards, Visit visit) {
#ifndef Py_LIMITED_API
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) return -1;
#endif
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
#else
    const Py_ssize_t length = PyUnicode_GetLength(text);
    if (length < 0) return -1;
#endif
    if (start < 0) start = 0;
    if (end > length) end = length;
    if (start >= end) return 0;
#ifndef Py_LIMITED_API
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    if (kind == PyUnicode_1BYTE_KIND) {
        const unsigned char* chars = static_cast<const unsigned char*>(data);
        if (backwards) {
            for (Py_ssize_t i = end; i-- > start;)
                if (visit(static_cast<Py_UCS4>(chars[i]))) return 1;
        } else {
            for (Py_ssize_t i = start; i < end; ++i)
                if (visit(static_cast<Py_UCS4>(chars[i]))) return 1;
        }
        return 0;
    }
    if (backwards) {
        for (Py_ssize_t i = end; i-- > start;)
            if (visit(PyUnicode_READ(kind, data, i))) return 1;
    } else {
        for (Py_ssize_t i = start; i < end; ++i)
            if (visit(PyUnicode_READ(kind, data, i))) return 1;
    }
    return 0;
#else
    constexpr Py_ssize_t kBlock = 256;
    Py_UCS4 block[kBlock];
    Py_ssize_t at = backwards ? end : start;
    while (backwards ? at > start : at < end) {
        const Py_ssize_t low = backwards ? (at - kBlock > start ? at - kBlock : start) : at;
        const Py_ssize_t high = backwards ? at : (at + kBlock < end ? at + kBlock : end);
        Ref part(PyUnicode_Substring(text, low, high));
        if (!part || !PyUnicode_AsUCS4(part.get(), block, kBlock, 0)) return -1;
        const Py_ssize_t count = high - low;
        if (backwards) {
            for (Py_ssize_t i = count; i-- > 0;)
                if (visit(block[i])) return 1;
        } else {
            for (Py_ssize_t i = 0; i < count; ++i)
                if (visit(block[i])) return 1;
        }
        at = backwards ? low : high;
    }
    return 0;
#endif
}

// The length of an exact str; -1 with an error set.
inline Py_ssize_t str_length(PyObject* text) {
#ifndef Py_LIMITED_API
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) return -1;
#endif
    return PyUnicode_GET_LENGTH(text);
#else
    return PyUnicode_GetLength(text);
#endif
}

}  // namespace tvx
