// Building one text out of many pieces in a single pass, for renderings that
// would otherwise split and re-join their sub-results at every level.  Only
// for a build against one interpreter: it writes the characters of str
// objects directly.
#pragma once

#include "pyref.hpp"

#include <cstddef>
#include <cstring>
#include <string>

namespace tvx {

// (The thread-state fields read below are those of 3.6 to 3.13.)
#if !defined(Py_LIMITED_API) && PY_VERSION_HEX < 0x030E0000
#define TVX_PREFIXED_WRITER 1

// Room left for nested Py_EnterRecursiveCall on this thread: how many more
// levels may be entered before the interpreter raises RecursionError.
inline int recursion_room() {
    PyThreadState* tstate = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030C0000
    return tstate->c_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030B0000
    return tstate->recursion_remaining;
#else
    return Py_GetRecursionLimit() - tstate->recursion_depth;
#endif
}

// The characters that `text` (an exact str) takes when `prefix_length`
// more characters follow each line break in it; raises *maxchar to its
// widest character.  -1 with an error set when the str cannot be read.
inline Py_ssize_t prefixed_length(PyObject* text, Py_ssize_t prefix_length, Py_UCS4* maxchar) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) return -1;
#endif
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const Py_UCS4 top = PyUnicode_MAX_CHAR_VALUE(text);
    if (top > *maxchar) *maxchar = top;
    Py_ssize_t breaks = 0;
    const int kind = PyUnicode_KIND(text);
    if (kind == PyUnicode_1BYTE_KIND) {
        const char* p = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
        const char* end = p + length;
        while ((p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p))))) {
            ++breaks;
            ++p;
        }
    } else {
        const void* data = PyUnicode_DATA(text);
        for (Py_ssize_t i = 0; i < length; ++i) breaks += PyUnicode_READ(kind, data, i) == '\n';
    }
    return length + breaks * prefix_length;
}

// Writes a text of a length and widest character known beforehand into one
// new str: ASCII pieces, and str pieces with a line prefix written after
// each line break inside them (what splitting a piece at "\n" and joining
// its lines with "\n" + prefix gives).
class PrefixedWriter {
public:
    // False with an error set when the str cannot be made.
    bool open(Py_ssize_t length, Py_UCS4 maxchar) {
        out_ = Ref(PyUnicode_New(length, maxchar));
        if (!out_) return false;
        length_ = length;
        kind_ = PyUnicode_KIND(out_.get());
        data_ = PyUnicode_DATA(out_.get());
        return true;
    }

    void put_ascii(const char* text, std::size_t length) {
        if (at_ + static_cast<Py_ssize_t>(length) > length_) {
            overflow_ = true;
            return;
        }
        if (kind_ == PyUnicode_1BYTE_KIND) {
            std::memcpy(static_cast<char*>(data_) + at_, text, length);
            at_ += static_cast<Py_ssize_t>(length);
            return;
        }
        for (std::size_t i = 0; i < length; ++i) PyUnicode_WRITE(kind_, data_, at_++, static_cast<unsigned char>(text[i]));
    }
    void put_ascii(const std::string& text) { put_ascii(text.data(), text.size()); }

    // An exact str (already made ready by prefixed_length), with `prefix`
    // after each line break.
    void put(PyObject* text, const std::string& prefix) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        const int kind = PyUnicode_KIND(text);
        if (kind == PyUnicode_1BYTE_KIND && kind_ == PyUnicode_1BYTE_KIND) {
            const char* p = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
            const char* end = p + length;
            for (;;) {
                const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
                const char* stop = nl ? nl + 1 : end;
                put_ascii(p, static_cast<std::size_t>(stop - p));  // Latin-1 bytes, copied as they are
                if (!nl) return;
                put_ascii(prefix);
                p = stop;
            }
        }
        const void* data = PyUnicode_DATA(text);
        for (Py_ssize_t i = 0; i < length; ++i) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (at_ >= length_) {
                overflow_ = true;
                return;
            }
            PyUnicode_WRITE(kind_, data_, at_++, c);
            if (c == '\n') put_ascii(prefix);
        }
    }

    // The str, once exactly its length has been written; otherwise an error.
    Ref finish() {
        if (overflow_ || at_ != length_) {
            PyErr_SetString(PyExc_SystemError, "rendered text does not match its measured length");
            return Ref();
        }
        return std::move(out_);
    }

private:
    Ref out_;
    Py_ssize_t length_ = 0;
    Py_ssize_t at_ = 0;
    int kind_ = PyUnicode_1BYTE_KIND;
    void* data_ = nullptr;
    bool overflow_ = false;
};
#endif

}  // namespace tvx
