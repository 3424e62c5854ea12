// Calls, attribute access, comparisons and string tests, each with the exact
// meaning of the Python expression it stands for.  Every module goes through
// these helpers, so a faster path for one interpreter is added in one place.
#pragma once

#include "pyref.hpp"

#include <cstddef>
#include <initializer_list>

namespace tvx {

// A keyword argument: an interned name and its value.
struct Kw {
    PyObject* name;
    PyObject* value;
};

// ---------------------------------------------------------------- attributes

// obj.name
inline Ref getattr(PyObject* obj, PyObject* name) { return Ref(PyObject_GetAttr(obj, name)); }

// obj.name = value; 0 on success, -1 with an error set.
inline int setattr(PyObject* obj, PyObject* name, PyObject* value) {
    return PyObject_SetAttr(obj, name, value);
}

// hasattr(obj, name) in the forgiving sense: any error raised by the read is
// cleared and counts as absence.  Returns 1 or 0, never fails.
inline int has_attribute_forgiving(PyObject* obj, PyObject* name) {
    Ref value = getattr(obj, name);
    if (!value) {
        PyErr_Clear();
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------- calls

// Builds a tuple from the given (borrowed) objects; a null entry means that
// computing it failed, and the error is passed on.
inline Ref make_tuple(std::initializer_list<PyObject*> items) {
    for (PyObject* item : items) {
        if (!item) return Ref();
    }
    Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return Ref();
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        Py_INCREF(item);
        if (PyTuple_SetItem(tuple.get(), i++, item) < 0) return Ref();  // steals
    }
    return tuple;
}

// A keyword dict whose insertion order is the order given (visible to a
// callee that takes **kwargs).
inline Ref make_kwargs(std::initializer_list<Kw> kwargs) {
    for (const Kw& kw : kwargs) {
        if (!kw.value) return Ref();
    }
    Ref dict(PyDict_New());
    if (!dict) return Ref();
    for (const Kw& kw : kwargs) {
        if (PyDict_SetItem(dict.get(), kw.name, kw.value) < 0) return Ref();
    }
    return dict;
}

// callable(*pos, **kw)
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> pos = {},
                std::initializer_list<Kw> kw = {}) {
    if (!callable) return Ref();
    Ref args = make_tuple(pos);
    if (!args) return Ref();
    if (kw.size() == 0) return Ref(PyObject_Call(callable, args.get(), nullptr));
    Ref kwargs = make_kwargs(kw);
    if (!kwargs) return Ref();
    return Ref(PyObject_Call(callable, args.get(), kwargs.get()));
}

// obj.name(*pos, **kw) on a host object: attribute lookup, then the call.
inline Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> pos = {},
                       std::initializer_list<Kw> kw = {}) {
    if (!obj) return Ref();
    Ref bound = getattr(obj, name);
    if (!bound) return Ref();
    return call(bound.get(), pos, kw);
}

// self.name(*pos, **kw) where name is one of the class's own steps.  The
// lookup goes through the instance, so an override in a subclass or in the
// instance's __dict__ is what runs.
inline Ref call_self(PyObject* self, PyObject* name, std::initializer_list<PyObject*> pos = {},
                     std::initializer_list<Kw> kw = {}) {
    return call_method(self, name, pos, kw);
}

// ---------------------------------------------------------------- tests

// bool(obj): 1, 0, or -1 with an error set.
inline int truth(PyObject* obj) { return PyObject_IsTrue(obj); }

// a == b as the operator evaluates it (no identity shortcut: a key whose
// __eq__ says otherwise is asked).  1, 0 or -1.
inline int equal(PyObject* a, PyObject* b) {
    Ref result(PyObject_RichCompare(a, b, Py_EQ));
    if (!result) return -1;
    return PyObject_IsTrue(result.get());
}

// a != b as the operator evaluates it.  1, 0 or -1.
inline int not_equal(PyObject* a, PyObject* b) {
    Ref result(PyObject_RichCompare(a, b, Py_NE));
    if (!result) return -1;
    return PyObject_IsTrue(result.get());
}

// item in container.  1, 0 or -1.
inline int contains(PyObject* container, PyObject* item) {
    return PySequence_Contains(container, item);
}

// isinstance(obj, str)
inline bool is_str(PyObject* obj) { return PyUnicode_Check(obj); }

// isinstance(obj, dict)
inline bool is_dict(PyObject* obj) { return PyDict_Check(obj); }

// isinstance(obj, list)
inline bool is_list(PyObject* obj) { return PyList_Check(obj); }

// bool(s.<method>()) for a string method such as islower or isdigit; the
// method is looked up on the object, so a str subclass's own is honoured.
inline int str_test(PyObject* s, PyObject* method_name) {
    Ref result = call_method(s, method_name);
    if (!result) return -1;
    return PyObject_IsTrue(result.get());
}

// ---------------------------------------------------------------- values

// str(obj)
inline Ref str(PyObject* obj) { return Ref(PyObject_Str(obj)); }

// a + b
inline Ref add(PyObject* a, PyObject* b) {
    if (!a || !b) return Ref();
    return Ref(PyNumber_Add(a, b));
}

// a + b + c + ... left to right, as the expression would evaluate it.
inline Ref concat(std::initializer_list<PyObject*> parts) {
    Ref acc;
    bool first = true;
    for (PyObject* part : parts) {
        if (!part) return Ref();
        if (first) {
            acc = Ref::borrow(part);
            first = false;
        } else {
            acc = add(acc.get(), part);
            if (!acc) return Ref();
        }
    }
    return acc;
}

// fmt % arg
inline Ref percent(PyObject* fmt, PyObject* arg) {
    if (!fmt || !arg) return Ref();
    return Ref(PyNumber_Remainder(fmt, arg));
}

// container[key]
inline Ref getitem(PyObject* container, PyObject* key) {
    return Ref(PyObject_GetItem(container, key));
}

// ---------------------------------------------------------------- raising

// raise exc: sets the error from an exception instance (or class) and
// returns nullptr; anything else gives the interpreter's TypeError.
inline PyObject* raise_object(PyObject* exc) {
    if (!exc) return nullptr;
    if (PyExceptionInstance_Check(exc)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    } else if (PyExceptionClass_Check(exc)) {
        PyErr_SetNone(exc);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return nullptr;
}

// raise error_class(message); returns nullptr.
inline PyObject* raise_with(PyObject* error_class, PyObject* message) {
    Ref exc = call(error_class, {message});
    return raise_object(exc.get());
}

}  // namespace tvx
