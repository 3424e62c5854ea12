// Building ordinary Python classes from C under the limited API, parsing the
// arguments of their methods, and reading a module's globals at call time.
#pragma once

#include "pycall.hpp"

#include <cstdio>
#include <cstring>

namespace tvx {

// ---------------------------------------------------------------- arguments

// Entry points of the methods.  On the full API of 3.7 and later they take
// the interpreter's vector convention (no argument tuple or keyword dict is
// built for a call); elsewhere the tuple-and-dict one.  A method is written
//     PyObject* fn(PyObject* self, TVX_ARGS_DECL)
// and parses with  tvx::parse_args("fn", TVX_ARGS, names, n, required, out).
#if !defined(Py_LIMITED_API) && PY_VERSION_HEX >= 0x03070000
#define TVX_FASTCALL 1
#define TVX_METHOD_FLAGS (METH_FASTCALL | METH_KEYWORDS)
#define TVX_ARGS_DECL PyObject *const *args, Py_ssize_t nargs, PyObject *kwargs
#define TVX_ARGS args, nargs, kwargs
#else
#define TVX_METHOD_FLAGS (METH_VARARGS | METH_KEYWORDS)
#define TVX_ARGS_DECL PyObject *args, PyObject *kwargs
#define TVX_ARGS args, kwargs
#endif


// The parameters of a method after self: interned names, in order.
// parse_args fills out[0..n) with new references: positional arguments
// first, then keywords; a parameter given neither way stays empty (the
// caller supplies its default) unless it is among the first `required`,
// which is the interpreter's usual TypeError.  `fname` is the method's name,
// and messages count self as Python's own do for a method.
inline bool too_many_positional(const char* fname, Py_ssize_t npos, Py_ssize_t n,
                                Py_ssize_t required, Py_ssize_t shown) {
    if (required == n) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                     fname, n + shown, (n + shown) == 1 ? "" : "s", npos + shown,
                     (npos + shown) == 1 ? "was" : "were");
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %zd to %zd positional arguments but %zd %s given", fname,
                     required + shown, n + shown, npos + shown,
                     (npos + shown) == 1 ? "was" : "were");
    }
    return false;
}

// Stores one keyword argument; keys are strings, so the comparisons run no
// Python code.
inline bool bind_keyword(const char* fname, PyObject* key, PyObject* value,
                         PyObject* const* names, Py_ssize_t n, Ref* out) {
    Py_ssize_t index = -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (key == names[i]) {
            index = i;
            break;
        }
    }
    if (index < 0 && PyUnicode_Check(key)) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            int cmp = PyUnicode_Compare(key, names[i]);
            if (cmp == -1 && PyErr_Occurred()) return false;
            if (cmp == 0) {
                index = i;
                break;
            }
        }
    }
    if (index < 0) {
        if (PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname,
                         key);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", fname);
        }
        return false;
    }
    if (out[index]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", fname,
                     names[index]);
        return false;
    }
    out[index] = Ref::borrow(value);
    return true;
}

inline bool check_required(const char* fname, PyObject* const* names, Py_ssize_t required,
                           const Ref* out, Py_ssize_t shown) {
    for (Py_ssize_t i = 0; i < required; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%U' (pos %zd)", fname,
                         names[i], i + 1 + shown);
            return false;
        }
    }
    return true;
}

// Tuple-and-dict convention.
inline bool parse_args(const char* fname, PyObject* args, PyObject* kwargs,
                       PyObject* const* names, Py_ssize_t n, Py_ssize_t required, Ref* out,
                       bool counts_self = true) {
    const Py_ssize_t shown = counts_self ? 1 : 0;
    Py_ssize_t npos = PyTuple_Size(args);
    if (npos < 0) return false;
    if (npos > n) return too_many_positional(fname, npos, n, required, shown);
    for (Py_ssize_t i = 0; i < npos; ++i) out[i] = Ref::borrow(PyTuple_GetItem(args, i));
    if (kwargs) {
        // The keyword dict belongs to this call and binding runs no Python code.
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!bind_keyword(fname, key, value, names, n, out)) return false;
        }
    }
    return check_required(fname, names, required, out, shown);
}

#ifdef TVX_FASTCALL
// Vector convention: positional values, then the keyword values named by the
// kwnames tuple.
inline bool parse_args(const char* fname, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, PyObject* const* names, Py_ssize_t n,
                       Py_ssize_t required, Ref* out, bool counts_self = true) {
    const Py_ssize_t shown = counts_self ? 1 : 0;
    if (nargs > n) return too_many_positional(fname, nargs, n, required, shown);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = Ref::borrow(args[i]);
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!bind_keyword(fname, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], names, n, out))
                return false;
        }
    }
    return check_required(fname, names, required, out, shown);
}
#endif

// A method that takes no argument besides self: refuses any.
inline bool no_args(const char* fname, PyObject* args, PyObject* kwargs) {
    Py_ssize_t npos = PyTuple_Size(args);
    if (npos < 0) return false;
    if (npos != 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument but %zd were given", fname,
                     npos + 1);
        return false;
    }
    if (kwargs && PyDict_Size(kwargs) != 0) {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        PyDict_Next(kwargs, &pos, &key, &value);
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", fname, key);
        return false;
    }
    return true;
}

#ifdef TVX_FASTCALL
inline bool no_args(const char* fname, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument but %zd were given", fname,
                     nargs + 1);
        return false;
    }
    if (kwnames && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", fname,
                     PyTuple_GET_ITEM(kwnames, 0));
        return false;
    }
    return true;
}
#endif

// ---------------------------------------------------------------- classes

// type(name, bases, {"__module__": module, "__qualname__": name, "__doc__": doc})
inline Ref make_class(const char* name, PyObject* bases, PyObject* module_name, const char* doc) {
    Ref ns(PyDict_New());
    if (!ns) return Ref();
    Ref qualname(PyUnicode_FromString(name));
    if (!qualname) return Ref();
    if (PyDict_SetItemString(ns.get(), "__module__", module_name) < 0) return Ref();
    if (PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0) return Ref();
    if (doc) {
        Ref text(PyUnicode_FromString(doc));
        if (!text || PyDict_SetItemString(ns.get(), "__doc__", text.get()) < 0) return Ref();
    }
    return call(reinterpret_cast<PyObject*>(&PyType_Type), {qualname.get(), bases, ns.get()});
}

// The builtin of that name (builtins.<name>).
inline Ref builtin(const char* name) {
    Ref module(PyImport_ImportModule("builtins"));
    if (!module) return Ref();
    return Ref(PyObject_GetAttrString(module.get(), name));
}

// A method descriptor of the class for def, bound as def->ml_name.
inline Ref method_descriptor(PyObject* cls, PyMethodDef* def) {
    return Ref(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls), def));
}

inline int add_method(PyObject* cls, PyMethodDef* def) {
    Ref descr = method_descriptor(cls, def);
    if (!descr) return -1;
    return PyObject_SetAttrString(cls, def->ml_name, descr.get());
}

// The same, keeping the descriptor in *keep (for tvx::call_own).
inline int add_method(PyObject* cls, PyMethodDef* def, Ref* keep) {
    Ref descr = method_descriptor(cls, def);
    if (!descr) return -1;
    if (PyObject_SetAttrString(cls, def->ml_name, descr.get()) < 0) return -1;
    *keep = descr;
    return 0;
}

// A static method: staticmethod(builtin function of the module), the
// function bound to `module` (its __self__, as for any builtin function of a
// module), which it is handed when called.
inline int add_static_method(PyObject* cls, PyMethodDef* def, PyObject* module,
                             PyObject* module_name) {
    Ref func(PyCFunction_NewEx(def, module, module_name));
    if (!func) return -1;
    Ref wrapper = builtin("staticmethod");
    if (!wrapper) return -1;
    Ref wrapped = call(wrapper.get(), {func.get()});
    if (!wrapped) return -1;
    return PyObject_SetAttrString(cls, def->ml_name, wrapped.get());
}

// property(getter, setter, None, doc), getter and setter being method
// descriptors of the class.
inline int add_property(PyObject* cls, const char* name, PyMethodDef* getter, PyMethodDef* setter,
                        const char* doc) {
    Ref fget = method_descriptor(cls, getter);
    if (!fget) return -1;
    Ref fset;
    if (setter) {
        fset = method_descriptor(cls, setter);
        if (!fset) return -1;
    } else {
        fset = none();
    }
    Ref text(PyUnicode_FromString(doc));
    if (!text) return -1;
    Ref prop = call(reinterpret_cast<PyObject*>(&PyProperty_Type),
                    {fget.get(), fset.get(), Py_None, text.get()});
    if (!prop) return -1;
    return PyObject_SetAttrString(cls, name, prop.get());
}

// ---------------------------------------------------------------- module of a class

// How the methods of the classes made here find the state of their module,
// in every build:
//  * each class holds its module in its own namespace, under kModuleKey: an
//    owned reference that the cycle collector sees, so that the module, and
//    the state in it, lives as long as any of its classes (and is freed with
//    the last of them);
//  * where the interpreter hands a method the class that defines it (the
//    full API from 3.9 on, methods flagged METH_METHOD) the state is that of
//    the module this class holds;
//  * elsewhere (3.6 to 3.8, and the limited API) it is that of the module the
//    instance's class holds, which a subclass inherits from the nearest class
//    of its MRO that holds one;
//  * either way the module found must own that class as its own class of
//    that kind (exactly the defining class, or a base of the instance's
//    class), else the call fails with RuntimeError: a class never runs on
//    the state of another module, of this interpreter or another, whatever
//    is stored under the key;
//  * the module is held for the length of the call.
// The second way cannot tell, for an instance of a class derived from the
// classes of two instances of one module, which of the two defines the
// method called: it runs on the state of the first of them in the MRO.
//
// The class found last for each kind is remembered with its state, which
// spares the lookup on the next call.  The entry is good while that state
// holds the class (so the address cannot belong to another class): a module
// forgets its entries before it lets its classes go.
#if !defined(Py_LIMITED_API) && PY_VERSION_HEX >= 0x03090000
#define TVX_DEFINING_CLASS 1
#endif

constexpr const char* kModuleKey = "__tarvix_module__";

// cls.__tarvix_module__ = module
inline int hold_module(PyObject* cls, PyObject* module) {
    return PyObject_SetAttrString(cls, kModuleKey, module);
}

// State is the module's state type, with
//     static State* of(PyObject* module)  its state, null with an error set
//                                         when it is gone or cleared;
//     PyObject* own_class(int kind) const its class of that kind (owned by
//                                         the state, null once cleared).
template <class State, int Kinds>
class ClassStates {
public:
    explicit ClassStates(PyModuleDef* def) : def_(def) {}

    // The state for a call of a method of the module's class of `kind`:
    // `cls` is the class that defines the method (exact) or the class of the
    // instance.  *hold keeps the module for the call.  Null with an error set.
    State* find(PyTypeObject* cls, int kind, bool exact, Ref* hold) {
        const Recent& recent = recent_[kind];
        if (recent.cls == cls) {
            *hold = Ref::borrow(recent.module);
            return recent.state;
        }
        return find_held(cls, kind, exact, hold);
    }

    // Drops the entries of a state that is about to let its classes go.
    void forget(const State* state) {
        for (Recent& recent : recent_) {
            if (recent.state == state) recent = Recent();
        }
    }

private:
    struct Recent {
        PyTypeObject* cls = nullptr;  // the state's own class of the kind
        State* state = nullptr;
        PyObject* module = nullptr;   // borrowed: the state lives as long as it
    };

    __attribute__((noinline)) State* find_held(PyTypeObject* cls, int kind, bool exact, Ref* hold) {
        PyObject* type = reinterpret_cast<PyObject*>(cls);
        // By the interned name: a name made anew for every call would fill
        // the interpreter's type attribute cache, which keeps its names.
        Ref key(PyUnicode_InternFromString(kModuleKey));
        if (!key) return nullptr;
        Ref module(PyObject_GetAttr(type, key.get()));
        if (!module) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_RuntimeError, "%R holds no module %s of its own", type,
                             def_->m_name);
            }
            return nullptr;
        }
        State* state = nullptr;
        PyObject* own = nullptr;
        if (PyModule_Check(module.get()) && PyModule_GetDef(module.get()) == def_) {
            state = State::of(module.get());
            if (!state) return nullptr;
            own = state->own_class(kind);
        }
        const bool belongs =
            own && (own == type ||
                    (!exact && PyType_IsSubtype(cls, reinterpret_cast<PyTypeObject*>(own))));
        if (!belongs) {
            PyErr_Format(PyExc_RuntimeError, "%R does not belong to the module %s it holds", type,
                         def_->m_name);
            return nullptr;
        }
        if (own == type) {
            Recent& recent = recent_[kind];
            recent.cls = cls;
            recent.state = state;
            recent.module = module.get();
        }
        *hold = module;
        return state;
    }

    PyModuleDef* def_;
    // One process-wide entry per kind, read and written without a lock: safe
    // while every interpreter that imports the module shares one GIL, as the
    // main interpreter and legacy subinterpreters do.  Neither module claims
    // a GIL of its own per interpreter (Py_mod_multiple_interpreters); one
    // that did would need this cache per interpreter.
    Recent recent_[Kinds];
};

// ---------------------------------------------------------------- globals

// The value of a module-level name at the time of use, as Python code of the
// module would see it: the module's namespace, then the builtins, else
// NameError.
inline Ref load_global(PyObject* globals, PyObject* name) {
    if (!globals) {
        PyErr_SetString(PyExc_SystemError, "module namespace is not initialised");
        return Ref();
    }
    PyObject* found = PyDict_GetItemWithError(globals, name);
    if (found) return Ref::borrow(found);
    if (PyErr_Occurred()) return Ref();
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed, may be null
    if (builtins) {
        found = PyDict_GetItemWithError(builtins, name);
        if (found) return Ref::borrow(found);
        if (PyErr_Occurred()) return Ref();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

// from module import name: the attribute, or the submodule already in
// sys.modules, else ImportError (as the import statement does).
inline Ref import_from(PyObject* module, PyObject* name) {
    Ref value = getattr(module, name);
    if (value) return value;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
    PyErr_Clear();
    // (Each interpreter has strings of its own: no name is kept across calls.)
    Ref package(PyObject_GetAttrString(module, "__name__"));
    if (package && PyUnicode_Check(package.get())) {
        Ref full(PyUnicode_FromFormat("%U.%U", package.get(), name));
        if (!full) return Ref();
        PyObject* modules = PyImport_GetModuleDict();  // borrowed
        PyObject* sub = modules ? PyDict_GetItemWithError(modules, full.get()) : nullptr;
        if (sub) return Ref::borrow(sub);
        if (PyErr_Occurred()) return Ref();
        PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%U'", name, package.get());
        return Ref();
    }
    if (!package) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
        PyErr_Clear();
    }
    PyErr_Format(PyExc_ImportError, "cannot import name '%U'", name);
    return Ref();
}

}  // namespace tvx
