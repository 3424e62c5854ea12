// Calls, attribute access, comparisons and string tests, each with the exact
// meaning of the Python expression it stands for.  Every module goes through
// these helpers, so a faster path for one interpreter is added in one place.
#pragma once

#include "pyref.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace tvx {

// A keyword argument: an interned name and its value.
struct Kw {
    PyObject* name;
    PyObject* value;
};

// ---------------------------------------------------------------- attributes

#if !defined(Py_LIMITED_API) && PY_VERSION_HEX >= 0x030A0000
// What PyObject_GetAttr adds to an AttributeError that the type's lookup
// raised: the name and the object, unless the error carries them already.
__attribute__((noinline, cold)) inline void attribute_error_context(PyObject* obj, PyObject* name) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref held_type(type), held_value(value), held_traceback(traceback);
    if (value && PyErr_GivenExceptionMatches(value, PyExc_AttributeError)) {
        PyAttributeErrorObject* error = reinterpret_cast<PyAttributeErrorObject*>(value);
        if (!error->name && !error->obj) {
            Py_INCREF(name);
            error->name = name;
            Py_INCREF(obj);
            error->obj = obj;
        }
    }
    PyErr_Restore(held_type.release(), held_value.release(), held_traceback.release());
}
#endif

// obj.name for an interned str name: the type's own lookup, as
// PyObject_GetAttr makes it.
__attribute__((always_inline)) inline Ref getattr(PyObject* obj, PyObject* name) {
#ifndef Py_LIMITED_API
    getattrofunc lookup = Py_TYPE(obj)->tp_getattro;
    if (lookup) {
        Ref found(lookup(obj, name));
#if PY_VERSION_HEX >= 0x030A0000
        if (!found) attribute_error_context(obj, name);
#endif
        return found;
    }
#endif
    return Ref(PyObject_GetAttr(obj, name));
}

// obj.name = value for an interned str name; 0 on success, -1 with an error
// set.
inline int setattr(PyObject* obj, PyObject* name, PyObject* value) {
#ifndef Py_LIMITED_API
    setattrofunc store = Py_TYPE(obj)->tp_setattro;
    if (store) return store(obj, name, value);
#endif
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

#if !defined(Py_LIMITED_API) && PY_VERSION_HEX >= 0x03090000
#define TVX_VECTORCALL 1
#endif

// The tuple of the keyword names of kw, for a call in the vector convention.
inline Ref kwnames_of(std::initializer_list<Kw> kw) {
    Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(kw.size())));
    if (!tuple) return Ref();
    Py_ssize_t i = 0;
    for (const Kw& k : kw) {
        Py_INCREF(k.name);
        if (PyTuple_SetItem(tuple.get(), i++, k.name) < 0) return Ref();  // steals
    }
    return tuple;
}

// fn(first, *args) -- or fn(*args) when first is null -- where the last
// len(kwnames) values of args are passed by those names (kwnames: a tuple of
// interned names, or null).  A null value among args passes on the failure
// that computing it met.  The values are laid out on the stack as the
// interpreter's own calls lay them out.
template <class... Args>
inline Ref vectorcall(PyObject* fn, PyObject* first, PyObject* kwnames, Args... args) {
    static_assert(sizeof...(Args) <= 8, "a short call");
    if (!fn) return Ref();
    if (((args == nullptr) || ... || false)) return Ref();
    PyObject* stack[2 + sizeof...(Args)] = {nullptr, first, args...};
    PyObject** start = first ? stack + 1 : stack + 2;
    const Py_ssize_t total = (first ? 1 : 0) + static_cast<Py_ssize_t>(sizeof...(Args));
#ifndef Py_LIMITED_API
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
#else
    const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
#endif
    const Py_ssize_t npos = total - nkw;
#if defined(TVX_VECTORCALL)
    const std::size_t nargsf = static_cast<std::size_t>(npos) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    // The callee's own vector entry when it has one, as the interpreter's
    // call instruction takes it (read here: from 3.11 on the interpreter's
    // own reader is a function call).
    PyTypeObject* type = Py_TYPE(fn);
    if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_VECTORCALL)) {
        const vectorcallfunc entry =
            *reinterpret_cast<vectorcallfunc*>(reinterpret_cast<char*>(fn) + type->tp_vectorcall_offset);
        if (entry) return Ref(entry(fn, start, nargsf, kwnames));
    }
    return Ref(PyObject_Vectorcall(fn, start, nargsf, kwnames));
#elif !defined(Py_LIMITED_API) && PY_VERSION_HEX >= 0x03080000
    return Ref(_PyObject_Vectorcall(fn, start, static_cast<std::size_t>(npos) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                    kwnames));
#elif !defined(Py_LIMITED_API)
    return Ref(_PyObject_FastCallKeywords(fn, start, npos, kwnames));
#else
    Ref tuple(PyTuple_New(npos));
    if (!tuple) return Ref();
    for (Py_ssize_t i = 0; i < npos; ++i) {
        Py_INCREF(start[i]);
        if (PyTuple_SetItem(tuple.get(), i, start[i]) < 0) return Ref();  // steals
    }
    Ref kwargs;
    if (nkw) {
        kwargs = Ref(PyDict_New());
        if (!kwargs) return Ref();
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            if (PyDict_SetItem(kwargs.get(), PyTuple_GetItem(kwnames, i), start[npos + i]) < 0)
                return Ref();
        }
    }
    return Ref(PyObject_Call(fn, tuple.get(), kwargs.get()));
#endif
}

// The interpreter's lookup for a method call obj.name(...): 1 with *fn the
// function found on the type, to be called with obj as its first argument
// (what calling the bound method does, without making one); 0 with *fn the
// attribute itself; -1 with an error set.  *fn is a new reference.
// (Exported from 3.7 on, but declared in the headers of 3.9 to 3.12 only.)
#if !defined(Py_LIMITED_API) && (PY_VERSION_HEX >= 0x030D0000 || \
                                 (PY_VERSION_HEX >= 0x03070000 && PY_VERSION_HEX < 0x03090000))
extern "C" PyAPI_FUNC(int) _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
#endif
inline int get_method(PyObject* obj, PyObject* name, PyObject** fn) {
#if !defined(Py_LIMITED_API) && PY_VERSION_HEX >= 0x03070000
    // The lookup the interpreter's own method calls make.
    const int found = _PyObject_GetMethod(obj, name, fn);
    if (!*fn) return -1;
    return found ? 1 : 0;
#else
#ifndef Py_LIMITED_API
    // Before 3.7: when type(obj) takes the generic lookup, a plain function
    // or method descriptor on the type that the instance __dict__ does not
    // shadow is what the bound method would call.
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro == PyObject_GenericGetAttr) {
        PyObject* descr = _PyType_Lookup(type, name);  // borrowed; runs no Python code
        if (descr && (PyFunction_Check(descr) || Py_TYPE(descr) == &PyMethodDescr_Type)) {
            Ref function = Ref::borrow(descr);
            PyObject** dictptr = _PyObject_GetDictPtr(obj);
            if (dictptr && *dictptr) {
                Ref dict = Ref::borrow(*dictptr);
                PyObject* found = PyDict_GetItem(dict.get(), name);  // str keys: no code runs
                if (found) {
                    *fn = Ref::borrow(found).release();
                    return 0;
                }
            }
            *fn = function.release();
            return 1;
        }
    }
#endif
    *fn = PyObject_GetAttr(obj, name);
    return *fn ? 0 : -1;
#endif
}

// obj.name(*args) where every argument is a value already at hand, so that
// looking the method up after them is the same as before them.  Where the
// interpreter has it, lookup and call are one vectorcall.
template <class... Args>
inline Ref vectorcall_method(PyObject* obj, PyObject* name, Args... args) {
    static_assert(sizeof...(Args) <= 8, "a short call");
    if (!obj) return Ref();
#ifdef TVX_VECTORCALL
    if (((args == nullptr) || ... || false)) return Ref();
    PyObject* stack[1 + sizeof...(Args)] = {obj, args...};
    return Ref(PyObject_VectorcallMethod(name, stack, 1 + sizeof...(Args), nullptr));
#else
    PyObject* fn = nullptr;
    const int unbound = get_method(obj, name, &fn);
    Ref held(fn);
    if (unbound < 0) return Ref();
    return vectorcall(fn, unbound ? obj : nullptr, nullptr, args...);
#endif
}

#ifndef Py_LIMITED_API
#define TVX_METHOD_DEF 1
// When fn is a method descriptor (such as get_method finds on a class made
// by this code) that would accept `self`, its method definition and its
// class; otherwise null.  Calling the definition's C function with self and
// no argument is then what calling fn(self) does.
inline PyMethodDef* method_def_of(PyObject* fn, PyObject* self, PyTypeObject** cls) {
    if (Py_TYPE(fn) != &PyMethodDescr_Type) return nullptr;
    PyMethodDescrObject* descr = reinterpret_cast<PyMethodDescrObject*>(fn);
    if (!PyObject_TypeCheck(self, descr->d_common.d_type)) return nullptr;
    *cls = descr->d_common.d_type;
    return descr->d_method;
}
#endif

// callable(*pos, **kw)
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> pos = {},
                std::initializer_list<Kw> kw = {}) {
    if (!callable) return Ref();
    if (kw.size() == 0) {
        switch (pos.size()) {  // the calls the modules make without keywords
            case 0: return vectorcall(callable, nullptr, nullptr);
            case 1: return vectorcall(callable, nullptr, nullptr, pos.begin()[0]);
            case 2: return vectorcall(callable, nullptr, nullptr, pos.begin()[0], pos.begin()[1]);
            default: break;
        }
        Ref args = make_tuple(pos);
        if (!args) return Ref();
        return Ref(PyObject_Call(callable, args.get(), nullptr));
    }
    for (const Kw& k : kw) {
        if (!k.value) return Ref();
    }
    Ref kwargs = make_kwargs(kw);
    if (!kwargs) return Ref();
    Ref args = make_tuple(pos);
    if (!args) return Ref();
    return Ref(PyObject_Call(callable, args.get(), kwargs.get()));
}

// obj.name(*pos, **kw) on a host object: attribute lookup, then the call.
// (On the full API the lookup and call are one vectorcall, which spares the
// bound method; what is looked up and called is the same.)
inline Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> pos = {},
                       std::initializer_list<Kw> kw = {}) {
    if (!obj) return Ref();
#ifdef TVX_VECTORCALL
    if (kw.size() == 0 && pos.size() < 8) {
        PyObject* stack[9];
        std::size_t n = 0;
        stack[n++] = obj;
        for (PyObject* item : pos) {
            if (!item) return Ref();
            stack[n++] = item;
        }
        return Ref(PyObject_VectorcallMethod(name, stack, n, nullptr));
    }
#endif
    Ref bound = getattr(obj, name);
    if (!bound) return Ref();
    return call(bound.get(), pos, kw);
}

#ifndef Py_LIMITED_API
// Two exact str: equal by value?  Two distinct interned strings never are.
inline bool exact_str_equal(PyObject* a, PyObject* b) {
    if (a == b) return true;
#if PY_VERSION_HEX < 0x030C0000
    if (!PyUnicode_IS_READY(a) || !PyUnicode_IS_READY(b)) return PyUnicode_Compare(a, b) == 0;
    // (From 3.12 on each interpreter interns on its own: two interned
    // strings of the same text may then be distinct objects.)
    if (PyUnicode_CHECK_INTERNED(a) && PyUnicode_CHECK_INTERNED(b)) return false;
#endif
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<std::size_t>(length) * PyUnicode_KIND(a)) == 0;
}
#endif

#if !defined(Py_LIMITED_API) && PY_VERSION_HEX < 0x030C0000
// Up to 3.11 every change to a dict, and every new dict, gets a version tag
// from one counter of the process, so a dict seen with the same tag is
// unchanged.  (From 3.12 on each interpreter counts on its own, so a dict of
// another interpreter at a freed address may show the same tag; from 3.13
// on, attributes stored through the instance leave the tag of its __dict__
// as it was.  There the dict is scanned each time.)
#define TVX_DICT_VERSION 1
inline std::uint64_t dict_version(PyObject* dict) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
}

// The last instance dict, by version, in which a name was found not to be
// shadowed; one slot per name, chosen by the interned name's address.
struct UnshadowedMemo {
    PyObject* dict;
    std::uint64_t version;
    PyObject* name;
};
inline UnshadowedMemo& unshadowed_memo(PyObject* name) {
    static UnshadowedMemo memo[64];
    return memo[(reinterpret_cast<std::uintptr_t>(name) >> 4) & 63];
}
#endif

// Whether self.name would be the class's own method `descr` (the method
// descriptor the module created), so that calling its C++ implementation
// directly is the same as the lookup and call: the type's attribute lookup is
// the generic one, the type's MRO yields exactly that descriptor, and the
// instance's __dict__ does not shadow it.  Where this cannot be told cheaply
// (the limited API) the answer is no, and the caller goes the Python way.
inline bool is_own_method(PyObject* self, PyObject* name, PyObject* descr) {
#ifndef Py_LIMITED_API
    if (!descr) return false;
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    if (_PyType_Lookup(type, name) != descr) return false;  // borrowed; runs no Python code
    PyObject** dictptr = _PyObject_GetDictPtr(self);
    if (dictptr && *dictptr) {
        PyObject* dict = *dictptr;
        if (!PyDict_CheckExact(dict) || PyDict_Size(dict) > 16) return false;
#ifdef TVX_DICT_VERSION
        const std::uint64_t version = dict_version(dict);
        UnshadowedMemo& memo = unshadowed_memo(name);
        if (memo.dict == dict && memo.version == version && memo.name == name) return true;
#endif
        // Scanned rather than looked up: a lookup could meet a key of
        // another type with the same hash and run its __eq__.  Any key
        // that is not an exact str sends the call the Python way.
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(dict, &pos, &key, &value)) {  // no code runs in this loop
            if (!PyUnicode_CheckExact(key) || exact_str_equal(key, name)) return false;
        }
#ifdef TVX_DICT_VERSION
        memo.dict = dict;
        memo.version = version;
        memo.name = name;
#endif
    }
    return true;
#else
    (void)self;
    (void)name;
    (void)descr;
    return false;
#endif
}

// self.name(*pos, **kw) where name is one of the class's own steps.  The
// lookup goes through the instance, so an override in a subclass or in the
// instance's __dict__ is what runs.
inline Ref call_self(PyObject* self, PyObject* name, std::initializer_list<PyObject*> pos = {},
                     std::initializer_list<Kw> kw = {}) {
    return call_method(self, name, pos, kw);
}

// self.name(*pos, **kw) for one of the class's own steps whose C++
// implementation is `direct` (a callable returning Ref): called directly when
// the lookup would find the class's own method descriptor `descr`, else the
// Python way with the given arguments.  Both ways bind the same values to
// the same parameters, so which one runs is not observable.
template <class Direct>
inline Ref call_own(PyObject* self, PyObject* name, PyObject* descr, Direct direct,
                    std::initializer_list<PyObject*> pos = {}, std::initializer_list<Kw> kw = {}) {
    if (is_own_method(self, name, descr)) return direct();
    return call_self(self, name, pos, kw);
}

// for item in iterable: body(item), where body returns false on a failure
// (with the error set); true when the loop ran to its end.  An exact list
// is walked by index, its length read afresh before each element, which is
// what the list's own iterator does; any other iterable through its
// iterator.
template <class Body>
inline bool for_each(PyObject* iterable, Body body) {
#ifndef Py_LIMITED_API
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(iterable, i));
            if (!body(item.get())) return false;
        }
        return true;
    }
#endif
    Ref iterator(PyObject_GetIter(iterable));
    if (!iterator) return false;
    for (;;) {
        Ref item(PyIter_Next(iterator.get()));
        if (!item) return !PyErr_Occurred();
        if (!body(item.get())) return false;
    }
}

// ---------------------------------------------------------------- tests

// bool(obj): 1, 0, or -1 with an error set.  None, the two booleans and
// exact str are answered here; they run no code of their own.
inline int truth(PyObject* obj) {
    if (obj == Py_None || obj == Py_False) return 0;
    if (obj == Py_True) return 1;
#ifndef Py_LIMITED_API
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_CheckExact(obj) && PyUnicode_IS_READY(obj)) return PyUnicode_GET_LENGTH(obj) != 0;
#else
    if (PyUnicode_CheckExact(obj)) return PyUnicode_GET_LENGTH(obj) != 0;
#endif
#endif
    return PyObject_IsTrue(obj);
}


// a == b as the operator evaluates it (no identity shortcut: a key whose
// __eq__ says otherwise is asked).  1, 0 or -1.  Two exact str compare by
// value directly, as str.__eq__ would.
inline int equal(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
#ifndef Py_LIMITED_API
        return exact_str_equal(a, b) ? 1 : 0;
#else
        if (a == b) return 1;
        return PyUnicode_Compare(a, b) == 0 ? 1 : 0;
#endif
    }
    Ref result(PyObject_RichCompare(a, b, Py_EQ));
    if (!result) return -1;
    return PyObject_IsTrue(result.get());
}

// a != b as the operator evaluates it.  1, 0 or -1.
inline int not_equal(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
#ifndef Py_LIMITED_API
        return exact_str_equal(a, b) ? 0 : 1;
#else
        if (a == b) return 0;
        return PyUnicode_Compare(a, b) != 0 ? 1 : 0;
#endif
    }
    Ref result(PyObject_RichCompare(a, b, Py_NE));
    if (!result) return -1;
    return PyObject_IsTrue(result.get());
}

// item in container.  1, 0 or -1.  An exact str looked up in an exact list
// is compared here with the elements that are exact str too (the same
// comparisons the list would make, none of which runs code); any other
// element hands the rest of the search to the list itself.
inline int contains(PyObject* container, PyObject* item) {
#ifndef Py_LIMITED_API
    if (PyList_CheckExact(container) && PyUnicode_CheckExact(item)) {
        const Py_ssize_t n = PyList_GET_SIZE(container);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* element = PyList_GET_ITEM(container, i);  // borrowed, no code runs
            if (element == item) return 1;
            if (!PyUnicode_CheckExact(element)) return PySequence_Contains(container, item);
            if (exact_str_equal(element, item)) return 1;
        }
        return 0;
    }
#endif
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

#ifndef Py_LIMITED_API
// The characters of an exact str, for the native string tests: an ASCII
// string by the test's ASCII rule, any other by its general one.
template <class Ascii, class Test>
inline int scan_exact_str(PyObject* s, Ascii ascii, Test test) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) < 0) return -1;
#endif
    const Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    if (PyUnicode_IS_ASCII(s)) {
        return ascii(static_cast<const unsigned char*>(PyUnicode_DATA(s)), length);
    }
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    return test(length, [&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); });
}
#endif

// bool(s.islower()): for an exact str the test str.islower makes (at least
// one cased character, none upper or title case), otherwise the object's own
// method.  1, 0 or -1.
inline int str_islower(PyObject* s, PyObject* method_name) {
#ifndef Py_LIMITED_API
    if (PyUnicode_CheckExact(s)) {
        auto ascii = [](const unsigned char* p, Py_ssize_t length) {
            bool cased = false;
            for (Py_ssize_t i = 0; i < length; ++i) {
                if (p[i] >= 'A' && p[i] <= 'Z') return 0;
                if (p[i] >= 'a' && p[i] <= 'z') cased = true;
            }
            return cased ? 1 : 0;
        };
        return scan_exact_str(s, ascii, [](Py_ssize_t length, auto at) {
            bool cased = false;
            for (Py_ssize_t i = 0; i < length; ++i) {
                const Py_UCS4 ch = at(i);
                if (Py_UNICODE_ISUPPER(ch) || Py_UNICODE_ISTITLE(ch)) return 0;
                if (!cased && Py_UNICODE_ISLOWER(ch)) cased = true;
            }
            return cased ? 1 : 0;
        });
    }
#endif
    return str_test(s, method_name);
}

// bool(s.isdigit()): for an exact str the test str.isdigit makes (not empty,
// every character a digit), otherwise the object's own method.  1, 0 or -1.
inline int str_isdigit(PyObject* s, PyObject* method_name) {
#ifndef Py_LIMITED_API
    if (PyUnicode_CheckExact(s)) {
        auto ascii = [](const unsigned char* p, Py_ssize_t length) {
            if (length == 0) return 0;
            for (Py_ssize_t i = 0; i < length; ++i) {
                if (p[i] < '0' || p[i] > '9') return 0;
            }
            return 1;
        };
        return scan_exact_str(s, ascii, [](Py_ssize_t length, auto at) {
            if (length == 0) return 0;
            for (Py_ssize_t i = 0; i < length; ++i) {
                if (!Py_UNICODE_ISDIGIT(at(i))) return 0;
            }
            return 1;
        });
    }
#endif
    return str_test(s, method_name);
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

#ifndef Py_LIMITED_API
#define TVX_PREFIX_LINES 1
// For an exact str `text` and two exact ASCII str prefixes: the text with
// `first` put before its first line and `rest` before each later line (lines
// being what text.split("\n") gives), as one new str: the same string that
// joining first + line0, rest + line1, ... gives, built in one pass.
inline Ref prefix_lines(PyObject* text, PyObject* first, PyObject* rest) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) return Ref();
#endif
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t breaks = 0;
    if (kind == PyUnicode_1BYTE_KIND) {
        const char* p = static_cast<const char*>(data);
        const char* end = p + length;
        while ((p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p))))) {
            ++breaks;
            ++p;
        }
    } else {
        for (Py_ssize_t i = 0; i < length; ++i) {
            if (PyUnicode_READ(kind, data, i) == '\n') ++breaks;
        }
    }
    const Py_ssize_t first_len = PyUnicode_GET_LENGTH(first);
    const Py_ssize_t rest_len = PyUnicode_GET_LENGTH(rest);
    // Each line break of the text is replaced by the rest prefix (which
    // itself begins with the line break).
    const Py_ssize_t total = first_len + length - breaks + breaks * rest_len;
    Ref out(PyUnicode_New(total, PyUnicode_MAX_CHAR_VALUE(text)));
    if (!out) return Ref();
    const int out_kind = PyUnicode_KIND(out.get());
    void* out_data = PyUnicode_DATA(out.get());
    Py_ssize_t at = 0;
    auto put_ascii = [&](PyObject* ascii) {
        const Py_UCS1* p = PyUnicode_1BYTE_DATA(ascii);
        const Py_ssize_t n = PyUnicode_GET_LENGTH(ascii);
        for (Py_ssize_t i = 0; i < n; ++i) PyUnicode_WRITE(out_kind, out_data, at++, p[i]);
    };
    put_ascii(first);
    if (kind == out_kind && kind == PyUnicode_1BYTE_KIND) {
        const char* src = static_cast<const char*>(data);
        char* dst = static_cast<char*>(out_data);
        const char* rest_data = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(rest));
        const char* end = src + length;
        const char* line = src;
        for (;;) {
            const char* nl = static_cast<const char*>(
                std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
            const char* stop = nl ? nl : end;
            std::memcpy(dst + at, line, static_cast<std::size_t>(stop - line));
            at += stop - line;
            if (!nl) break;
            std::memcpy(dst + at, rest_data, static_cast<std::size_t>(rest_len));
            at += rest_len;
            line = nl + 1;
        }
    } else {
        for (Py_ssize_t i = 0; i < length; ++i) {
            const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
            if (ch == '\n') {
                put_ascii(rest);
            } else {
                PyUnicode_WRITE(out_kind, out_data, at++, ch);
            }
        }
    }
    return out;
}

// "".join(pieces) for a sequence of exact str, without building a list.
inline Ref join_exact(const std::vector<Ref>& pieces) {
    Py_ssize_t total = 0;
    Py_UCS4 maxchar = 0;
    for (const Ref& piece : pieces) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(piece.get()) < 0) return Ref();
#endif
        total += PyUnicode_GET_LENGTH(piece.get());
        const Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(piece.get());
        if (m > maxchar) maxchar = m;
    }
    if (pieces.size() == 1) return pieces[0];
    Ref out(PyUnicode_New(total, maxchar));
    if (!out) return Ref();
    Py_ssize_t at = 0;
    for (const Ref& piece : pieces) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(piece.get());
        if (PyUnicode_CopyCharacters(out.get(), at, piece.get(), 0, n) < 0) return Ref();
        at += n;
    }
    return out;
}
#endif

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
