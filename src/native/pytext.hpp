// Renderings of nested data: the accounting that lets a recursive rendering
// run on a heap stack of its own, and the building of one text out of many
// pieces in a single pass, for renderings that would otherwise split and
// re-join their sub-results at every level (the latter only for a build
// against one interpreter: it writes the characters of str objects
// directly).
#pragma once

#include "pyref.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "pystack.hpp"


namespace tvx {

// ---------------------------------------------------------------- nesting

// The levels of a recursive rendering that keeps its levels on the heap
// instead of the C stack, counted against the recursion limit as the frames
// of the recursive Python function it stands for are counted: a level
// entered beyond the limit raises RecursionError, and Python code called
// from a level sees the depth the recursion would have reached.  The
// interpreter's own count is used where the full API reaches it; under the
// limited API the depth is taken from the Python frames once, when the
// first level is entered, and the levels of the renderings that are under
// way on the thread are added to it.  (The thread-state field read from 3.12
// on is that of 3.12 and 3.13; later interpreters count frames too.)
#if defined(Py_LIMITED_API) || PY_VERSION_HEX >= 0x030E0000
#define TVX_DEPTH_FROM_FRAMES 1
#elif PY_VERSION_HEX >= 0x030C0000
#define TVX_DEPTH_FROM_TSTATE 1
#endif

#ifdef TVX_DEPTH_FROM_FRAMES
inline int& heap_levels_of_thread() {
    static thread_local int levels = 0;
    return levels;
}
#endif

class HeapRecursion {
public:
    HeapRecursion() = default;
    HeapRecursion(const HeapRecursion&) = delete;
    HeapRecursion& operator=(const HeapRecursion&) = delete;
    ~HeapRecursion() {
        while (levels_ > 0) leave();
    }

    // Where the rendering begins.
    void open() {
#ifdef TVX_DEPTH_FROM_TSTATE
        tstate_ = PyThreadState_Get();
#endif
    }

    // One level deeper.  False with an error set (RecursionError).
    bool enter() {
#if defined(TVX_DEPTH_FROM_FRAMES)
        if (room_ < 0) {  // the first level: the depth reached so far
            int depth = 0;
            Ref frame = Ref::borrow(reinterpret_cast<PyObject*>(PyEval_GetFrame()));
            while (frame && frame.get() != Py_None) {
                ++depth;
                frame = Ref(PyObject_GetAttrString(frame.get(), "f_back"));
                if (!frame) return false;
            }
            room_ = Py_GetRecursionLimit() - depth - heap_levels_of_thread();
            if (room_ < 0) room_ = 0;
        }
        if (levels_ >= room_) {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
            return false;
        }
        ++heap_levels_of_thread();
#elif defined(TVX_DEPTH_FROM_TSTATE)
        // (What entering a Python frame does from 3.12 on.)
        if (tstate_->py_recursion_remaining <= 0) {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
            return false;
        }
        --tstate_->py_recursion_remaining;
#else
        if (Py_EnterRecursiveCall("")) return false;
#endif
        ++levels_;
        return true;
    }

    void leave() {
        --levels_;
#if defined(TVX_DEPTH_FROM_FRAMES)
        --heap_levels_of_thread();
#elif defined(TVX_DEPTH_FROM_TSTATE)
        ++tstate_->py_recursion_remaining;
#else
        Py_LeaveRecursiveCall();
#endif
    }

private:
    int levels_ = 0;
#if defined(TVX_DEPTH_FROM_FRAMES)
    int room_ = -1;
#elif defined(TVX_DEPTH_FROM_TSTATE)
    PyThreadState* tstate_ = nullptr;
#endif
};

// A rendering entered on a thread while another is under way there (a
// Python-level override of a level calling the class's rendering again)
// nests on the C stack, with the interpreter's frames between the two.
// The interpreter bounds that nesting by a count of calls, which says
// nothing about the stack left; the entries are bounded here by the C stack
// left on the thread, where its bounds can be read, and otherwise by the
// stack taken since the outermost entry.
class RenderingEntry {
public:
    // Where the bounds are unknown: the stack that the nested entries of one
    // thread may take.  Threads get megabytes by default; this leaves room
    // for what runs below the outermost entry and above the innermost one.
    static constexpr std::uintptr_t kStackBudget = 128 * 1024;

    RenderingEntry() {
        Count& state = of_thread();
        const std::uintptr_t here = reinterpret_cast<std::uintptr_t>(&marker_);
        if (state.entries == 0) {
            state.base = here;
        } else if (!room_below(state, here)) {
            PyErr_SetString(PyExc_RecursionError,
                            "maximum recursion depth exceeded while rendering a tree");
            return;
        }
        ++state.entries;
        entered_ = true;
    }
    ~RenderingEntry() {
        if (entered_) --of_thread().entries;
    }
    RenderingEntry(const RenderingEntry&) = delete;
    RenderingEntry& operator=(const RenderingEntry&) = delete;

    // False with RecursionError set when the entry was refused.
    bool entered() const { return entered_; }
    // Whether no other rendering is under way on the thread.
    bool outermost() const { return of_thread().entries == 1; }

private:
    struct Count {
        std::uintptr_t base;
        int entries;
    };
    static Count& of_thread() {
        static thread_local Count state = {0, 0};
        return state;
    }

    // The stack left on the thread where its bounds are known (see
    // pystack.hpp), else the stack taken since the outermost entry.
    static bool room_below(const Count& state, std::uintptr_t here) {
        if (stack_bounds_known()) return stack_room();
        const std::uintptr_t used = state.base > here ? state.base - here : here - state.base;
        return used <= kStackBudget;
    }

    volatile char marker_ = 0;
    bool entered_ = false;
};

// (The thread-state fields read below are those of 3.6 to 3.13.)
#if !defined(Py_LIMITED_API) && PY_VERSION_HEX < 0x030E0000
#define TVX_PREFIXED_WRITER 1

// Room left on this thread for the levels of a HeapRecursion: how many more
// may be entered before RecursionError.
inline int recursion_room() {
    PyThreadState* tstate = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030C0000
    return tstate->py_recursion_remaining;
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
