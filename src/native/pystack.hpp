// The C stack left on the current thread.  The interpreter bounds nested
// calls by a count (the recursion limit), which says nothing about the stack
// they take: with the limit raised, or on a thread with a small stack, a
// recursion that passes through native code overflows the stack long before
// the count runs out.  Native code that can be entered again from within
// itself (a method that calls, through the interpreter, something that calls
// it again) asks here first, and raises RecursionError when the stack left
// runs low.
//
// The thread's stack bounds are read once per thread.  Where they cannot be
// read (not glibc, or the call fails), nothing is refused: the recursion
// limit alone bounds the nesting, as it does for the interpreter.
#pragma once

#include "pyref.hpp"

#include <cstddef>
#include <cstdint>

#if defined(__GLIBC__)
#include <pthread.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#define TVX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TVX_ASAN 1
#endif
#endif

namespace tvx {

// Stack kept free below an entry: what one more nesting takes on its way to
// the next entry (the native frames of a step, the interpreter's frames of
// the Python code it calls), and whatever runs without nesting further (an
// error raised and formatted, a log line written).  An instrumented build
// takes several times the stack per frame.
#ifdef TVX_ASAN
constexpr std::uintptr_t kStackMargin = 256 * 1024;
#else
constexpr std::uintptr_t kStackMargin = 96 * 1024;
#endif

// The current thread's stack as read once: at or below `floor` an entry is
// refused; `low` is the stack's lowest address.  Not read yet: floor is the
// highest address, so that the first entry reads them; unknown: floor is 0.
struct StackBounds {
    std::uintptr_t floor;
    std::uintptr_t low;
};

inline StackBounds& stack_bounds_of_thread() {
    // The dynamic TLS model: the static one would take room that glibc keeps
    // for libraries loaded later, and fail the import where it is used up.
    static thread_local StackBounds bounds = {UINTPTR_MAX, 0};
    return bounds;
}

#if defined(__GLIBC__) && !defined(__hppa__) && (defined(__GNUC__) || defined(__clang__))
#define TVX_STACK_BOUNDS 1

// The most stack counted on.  The main thread's stack is reported as large
// as its resource limit lets it grow; with no limit, down to the mapping
// below it, tens of terabytes away, where the heap grows up into the same gap.
constexpr std::uintptr_t kLargestStack = std::uintptr_t(1) << 30;

// Reads the current thread's stack bounds (the stack grows down on every
// target of glibc but one).
__attribute__((noinline, cold)) inline StackBounds read_stack_bounds() {
    const StackBounds unknown = {0, 0};
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return unknown;
    void* low = nullptr;
    std::size_t size = 0;
    const int failed = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    const std::uintptr_t bottom = reinterpret_cast<std::uintptr_t>(low);
    if (failed != 0 || bottom == 0 || size == 0) return unknown;
    // Only the top kLargestStack is used; below it, down to the reported
    // bottom, entries are refused (and below that, on a stack of some other
    // making, let through).
    const std::uintptr_t usable = size > kLargestStack ? kLargestStack : size;
    // (A stack smaller than twice the margin keeps half of itself free.)
    const std::uintptr_t margin = usable > 2 * kStackMargin ? kStackMargin : usable / 2;
    return StackBounds{bottom + (size - usable) + margin, bottom};
}

// The slow half of stack_room(): reads the bounds on a thread's first entry;
// on a stack other than the thread's own (a coroutine library's, below it)
// nothing is refused.
__attribute__((noinline)) inline bool stack_room_slow(std::uintptr_t here) {
    StackBounds& bounds = stack_bounds_of_thread();
    if (bounds.floor == UINTPTR_MAX) {
        bounds = read_stack_bounds();
        if (here > bounds.floor) return true;
    }
    return here < bounds.low;
}

// True while the current thread has more than kStackMargin of stack left
// below the caller.  (The caller's frame address is on the stack itself,
// where a local variable may live elsewhere under an instrumented build.)
inline bool stack_room() {
    const std::uintptr_t here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (__builtin_expect(here > stack_bounds_of_thread().floor, 1)) return true;
    return stack_room_slow(here);
}
// Whether the current thread's stack bounds could be read.
inline bool stack_bounds_known() {
    StackBounds& bounds = stack_bounds_of_thread();
    if (bounds.floor == UINTPTR_MAX) bounds = read_stack_bounds();
    return bounds.floor != 0;
}
#else
// The bounds cannot be read here.
inline bool stack_room() { return true; }
inline bool stack_bounds_known() { return false; }
#endif

// Checks the stack left before native code that can nest is entered; false
// with RecursionError set when it runs low.  `where` completes the message
// as the interpreter's own does (" while calling a Python object").
__attribute__((noinline, cold)) inline bool stack_exhausted(const char* where) {
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
    return false;
}

inline bool enter_stack(const char* where) {
    return stack_room() || stack_exhausted(where);
}

}  // namespace tvx
