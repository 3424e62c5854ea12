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

#ifndef Py_LIMITED_API
#define TVX_LINE_WRITER 1

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

// The characters of a text as it is put together: one byte per character
// while every piece fits in Latin-1, four bytes from the first that does
// not.  A piece put with a line prefix has that prefix written after each
// line break inside it, which is what splitting the piece at "\n" and
// joining the lines with "\n" + prefix gives.
class LineWriter {
public:
    // An ASCII piece.
    void put_ascii(const char* text, std::size_t length) {
        if (!wide_) {
            narrow_.append(text, length);
            return;
        }
        for (std::size_t i = 0; i < length; ++i) wide_buf_.push_back(static_cast<unsigned char>(text[i]));
    }
    void put_ascii(const std::string& text) { put_ascii(text.data(), text.size()); }

    // An exact str, with `prefix` (ASCII) after each line break in it.
    // False with an error set when the str cannot be read.
    bool put(PyObject* text, const std::string& prefix) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(text) < 0) return false;
#endif
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        const int kind = PyUnicode_KIND(text);
        const Py_UCS4 top = PyUnicode_MAX_CHAR_VALUE(text);
        if (top > max_) max_ = top;
        if (kind == PyUnicode_1BYTE_KIND && !wide_) {
            const char* p = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
            const char* end = p + length;
            for (;;) {
                const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
                if (!nl) {
                    narrow_.append(p, static_cast<std::size_t>(end - p));
                    return true;
                }
                narrow_.append(p, static_cast<std::size_t>(nl + 1 - p));
                narrow_.append(prefix);
                p = nl + 1;
            }
        }
        if (!wide_) widen();
        const void* data = PyUnicode_DATA(text);
        for (Py_ssize_t i = 0; i < length; ++i) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, i);
            wide_buf_.push_back(c);
            if (c == '\n') {
                for (char p : prefix) wide_buf_.push_back(static_cast<unsigned char>(p));
            }
        }
        return true;
    }

    // The text written so far, as a new str.
    Ref finish() const {
        if (wide_) {
            return Ref(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, wide_buf_.data(),
                                                 static_cast<Py_ssize_t>(wide_buf_.size())));
        }
        const Py_ssize_t length = static_cast<Py_ssize_t>(narrow_.size());
        Ref out(PyUnicode_New(length, max_));
        if (!out) return Ref();
        std::memcpy(PyUnicode_1BYTE_DATA(out.get()), narrow_.data(), narrow_.size());
        return out;
    }

private:
    void widen() {
        wide_buf_.reserve(narrow_.size() * 2 + 64);
        for (char c : narrow_) wide_buf_.push_back(static_cast<unsigned char>(c));
        narrow_.clear();
        wide_ = true;
    }

    std::string narrow_;
    std::u32string wide_buf_;
    bool wide_ = false;
    Py_UCS4 max_ = 0x7F;
};
#endif

}  // namespace tvx
