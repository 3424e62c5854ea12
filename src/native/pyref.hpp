// Owned references and the small vocabulary of object handling shared by the
// native modules of the framework.
//
// Rules the modules follow:
//  * every owned reference lives in a Ref; nothing calls Py_DECREF by hand;
//  * a borrowed reference is turned into a Ref (Ref::borrow) before anything
//    that can run Python code happens;
//  * a function that fails returns an empty Ref / -1 / nullptr with the
//    Python error set, and the caller passes the failure on.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <utility>

namespace tvx {

class Ref {
public:
    Ref() noexcept = default;
    // Takes ownership of a new reference (which may be null after a failure).
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference over to the caller (for returning to Python).
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = p_;
        p_ = owned;
        Py_XDECREF(old);
    }

private:
    PyObject* p_ = nullptr;
};

// A new reference to None / True / False.
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }

// An interned string that lives as long as the process (module constants,
// attribute and keyword names).  Returns nullptr with an error set on failure.
inline PyObject* intern(const char* text) { return PyUnicode_InternFromString(text); }

}  // namespace tvx
