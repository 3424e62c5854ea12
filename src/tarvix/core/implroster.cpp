// tarvix.core.implroster: the registry of the framework's plugin
// implementations (ImplRoster), the module-level names it reads at the time
// of use, and the discovery of builtin and external plugins.
//
// ImplRoster is an ordinary Python class made by the builtin type(); its
// methods are method descriptors, its two discovery methods static methods
// and `plugins` a property.  Every call one method makes of another goes
// through attribute lookup on the instance (tvx::call_self, tvx::getattr), so
// subclasses and per-instance overrides are honoured everywhere.  Module-level
// names (log, getfile, ConnectionInfraError, iter_entry_points,
// ENTRYPOINT_GROUP, os, pkgutil, importlib) are read from the module's
// namespace each time they are used.  Values are computed in the order the
// equivalent Python expression evaluates them: the callable first, then its
// arguments left to right.

#include "pyclass.hpp"
#include "pytext.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

using tvx::Kw;
using tvx::Ref;

#define TVX_FN(fn) (PyCFunction)(void (*)(void))(fn)
// The body of a method of the class: called by its small entry function
// (below), never copied into it.
#define TVX_METHOD_BODY __attribute__((noinline))

const char* const kHomePackage = "tarvix.core";

// ---------------------------------------------------------------- module state

// Everything a module instance needs at run time lives in its module object:
// the module's state is a State, made when the module is executed and freed
// with the module.  A re-import, the module run as __main__ and every
// interpreter of the process thus each have their own namespace, interned
// names, own-method descriptors and callbacks, and the classes made by one
// instance keep reading their own (see the entry functions below).  What the
// process shares is no Python object: the method definitions, the class
// found last with its state, and the version test below.
//
// True on 3.7 and later, where unpacking a non-iterable says so.
bool g_unpack_message_37 = false;

// Interned strings, made by each instance of the module.
struct Names {
    // parameters
    PyObject *os, *series, *model, *chassis_type, *cls, *data, *output, *value, *group;
    // attributes and module-level names
    PyObject *_plugins, *chassis_type_list, *supported_os;
    PyObject *validate_model, *validate_series, *validate_os, *validate_chassis_type,
        *validate_arguments, *print_tree, *register_plugin;
    PyObject *dunder_class, *keys, *islower, *isdigit, *debug, *load, *name, *module_name;
    PyObject *walk_packages, *import_module, *path, *dirname, *onerror, *split, *select, *get,
        *module, *entry_points, *strip, *SimpleNamespace;
    PyObject *dunder_path, *dunder_name, *dunder_file, *dunder_package, *dunder_impl_roster,
        *Sample;
    PyObject *log, *getfile, *ConnectionInfraError, *iter_entry_points, *ENTRYPOINT_GROUP,
        *pkgutil, *importlib, *ImplRoster, *pkg_resources, *inspect, *errors, *tarvix, *types,
        *importlib_metadata_std, *importlib_metadata_backport, *empty_name;
    // values
    PyObject *gavri, *mocked, *single_rp, *dual_rp, *stack, *plugin, *empty, *nl, *label_prefix,
        *eq_sep, *bar, *two_blanks, *nl_bar, *nl_two_blanks, *slash, *dot, *plugins_marker, *colon,
        *bracket, *group_value, *quilm, *qb4;
    // messages
    PyObject *m_model_req, *m_model_type, *m_model_case, *m_series_req, *m_series_type,
        *m_series_case, *m_os_head, *m_os_mid, *m_os_debug, *m_ct_head, *m_ct_mid, *m_protected,
        *m_nf_head, *m_nf_type, *m_blank, *m_nf, *m_nf_for, *m_load_head, *m_load_from,
        *m_rep_head, *m_rep_at, *m_rep_tail, *m_reserved_os, *m_reserved_series,
        *m_reserved_model;
    PyObject* os_names[18];
};

const char* const kSupportedOs[18] = {"generic", "vardo", "quilm",  "pendra", "tovak", "selune",
                                      "gavri",   "brisel", "olmet", "dunek",  "farrow", "hestil",
                                      "corvan",  "pashk", "zendri", "lurem",  "wixel", "tamsk"};

struct NameEntry {
    PyObject* Names::*slot;
    const char* text;
};

const NameEntry kNameTable[] = {
    {&Names::os, "os"},
    {&Names::series, "series"},
    {&Names::model, "model"},
    {&Names::chassis_type, "chassis_type"},
    {&Names::cls, "cls"},
    {&Names::data, "data"},
    {&Names::output, "output"},
    {&Names::value, "value"},
    {&Names::group, "group"},
    {&Names::_plugins, "_plugins"},
    {&Names::chassis_type_list, "chassis_type_list"},
    {&Names::supported_os, "supported_os"},
    {&Names::validate_model, "validate_model"},
    {&Names::validate_series, "validate_series"},
    {&Names::validate_os, "validate_os"},
    {&Names::validate_chassis_type, "validate_chassis_type"},
    {&Names::validate_arguments, "validate_arguments"},
    {&Names::print_tree, "print_tree"},
    {&Names::register_plugin, "register_plugin"},
    {&Names::dunder_class, "__class__"},
    {&Names::keys, "keys"},
    {&Names::islower, "islower"},
    {&Names::isdigit, "isdigit"},
    {&Names::debug, "debug"},
    {&Names::load, "load"},
    {&Names::name, "name"},
    {&Names::module_name, "module_name"},
    {&Names::walk_packages, "walk_packages"},
    {&Names::import_module, "import_module"},
    {&Names::path, "path"},
    {&Names::dirname, "dirname"},
    {&Names::onerror, "onerror"},
    {&Names::split, "split"},
    {&Names::select, "select"},
    {&Names::get, "get"},
    {&Names::module, "module"},
    {&Names::entry_points, "entry_points"},
    {&Names::strip, "strip"},
    {&Names::SimpleNamespace, "SimpleNamespace"},
    {&Names::dunder_path, "__path__"},
    {&Names::dunder_name, "__name__"},
    {&Names::dunder_file, "__file__"},
    {&Names::dunder_package, "__package__"},
    {&Names::dunder_impl_roster, "__impl_roster__"},
    {&Names::Sample, "Sample"},
    {&Names::log, "log"},
    {&Names::getfile, "getfile"},
    {&Names::ConnectionInfraError, "ConnectionInfraError"},
    {&Names::iter_entry_points, "iter_entry_points"},
    {&Names::ENTRYPOINT_GROUP, "ENTRYPOINT_GROUP"},
    {&Names::pkgutil, "pkgutil"},
    {&Names::importlib, "importlib"},
    {&Names::ImplRoster, "ImplRoster"},
    {&Names::pkg_resources, "pkg_resources"},
    {&Names::inspect, "inspect"},
    {&Names::errors, "errors"},
    {&Names::tarvix, "tarvix"},
    {&Names::types, "types"},
    {&Names::importlib_metadata_std, "importlib.metadata"},
    {&Names::importlib_metadata_backport, "importlib_metadata"},
    {&Names::empty_name, ""},
    {&Names::gavri, "gavri"},
    {&Names::mocked, "mocked"},
    {&Names::single_rp, "single_rp"},
    {&Names::dual_rp, "dual_rp"},
    {&Names::stack, "stack"},
    {&Names::plugin, "plugin"},
    {&Names::empty, ""},
    {&Names::nl, "\n"},
    {&Names::label_prefix, "__ "},
    {&Names::eq_sep, " = "},
    {&Names::bar, "  |"},
    {&Names::two_blanks, "  "},
    {&Names::nl_bar, "\n  |"},
    {&Names::nl_two_blanks, "\n  "},
    {&Names::slash, "/"},
    {&Names::dot, "."},
    {&Names::plugins_marker, ".plugins."},
    {&Names::colon, ":"},
    {&Names::bracket, "["},
    {&Names::group_value, "tarvix.plugins"},
    {&Names::quilm, "quilm"},
    {&Names::qb4, "qb4"},
    {&Names::m_model_req, "OS and Series are required for Model: "},
    {&Names::m_model_type, "Model should be of type str"},
    {&Names::m_model_case, " Model (%s) has to be in lowecase"},
    {&Names::m_series_req, "OS information not provided for Series: "},
    {&Names::m_series_type, "Series should be of type str"},
    {&Names::m_series_case, "Series (%s) has to be in lowercase"},
    {&Names::m_os_head, "OS should be one of these "},
    {&Names::m_os_mid, " , but got "},
    {&Names::m_os_debug, "%s is not part of the built-in list of supported OSes."},
    {&Names::m_ct_head, "chassis Type should be one of these "},
    {&Names::m_ct_mid, ", but got "},
    {&Names::m_protected, " Protected Member, cannot modify Plugins"},
    {&Names::m_nf_head, "Plugin data not found for ("},
    {&Names::m_nf_type, "), type: "},
    {&Names::m_blank, " "},
    {&Names::m_nf, "Plugin data not found"},
    {&Names::m_nf_for, "Plugin data not found for %s"},
    {&Names::m_load_head, "Loading external plugin "},
    {&Names::m_load_from, " from "},
    {&Names::m_rep_head, "plugins ("},
    {&Names::m_rep_at, " at "},
    {&Names::m_rep_tail, ") "},
    {&Names::m_reserved_os, "Reserved name 'data' cannot be used as os"},
    {&Names::m_reserved_series, "Reserved name 'data' cannot be used as series"},
    {&Names::m_reserved_model, "Reserved name 'data' cannot be used as model"},
};

// Fills N with new references; -1 with an error set (what was made is
// released by release_names).
int init_names(Names& N) {
    for (const NameEntry& entry : kNameTable) {
        N.*entry.slot = tvx::intern(entry.text);
        if (!(N.*entry.slot)) return -1;
    }
    for (int i = 0; i < 18; ++i) {
        N.os_names[i] = tvx::intern(kSupportedOs[i]);
        if (!N.os_names[i]) return -1;
    }
    int major = 0, minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) == 2) {
        g_unpack_message_37 = major > 3 || (major == 3 && minor >= 7);
    }
    return 0;
}

void release_names(Names& N) {
    for (const NameEntry& entry : kNameTable) Py_CLEAR(N.*entry.slot);
    for (PyObject*& name : N.os_names) Py_CLEAR(name);
}

// The class's own method descriptors, for calling a step's C++ code directly
// when the instance would find exactly that descriptor (tvx::call_own).
struct OwnMethods {
    Ref validate_model, validate_series, validate_os, validate_chassis_type, validate_arguments,
        print_tree;
};

struct State {
    PyObject* module = nullptr;   // borrowed: the state lives as long as the module
    PyObject* globals = nullptr;  // borrowed: the module's namespace, which it holds
    Names N = {};
    OwnMethods own;
    // The class, which holds the module in turn (tvx::hold_module).
    Ref cls;
    // The walk's error callback of discover_builtin_plugins (private, not a
    // module-level name).
    Ref onerror;

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() { release_names(N); }

    // The state of a module object of this definition, while it is not
    // cleared (for tvx::ClassStates).
    static State* of(PyObject* module);
    PyObject* own_class(int) const { return cls.get(); }
};

// The state of the module that a builtin function of it is bound to.
State* state_of_module(PyObject* module) {
    State** slot = static_cast<State**>(PyModule_GetState(module));
    if (!slot || !*slot) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "tarvix.core.implroster: module state is gone");
        }
        return nullptr;
    }
    return *slot;
}

State* State::of(PyObject* module) {
    State* state = state_of_module(module);
    if (state && !state->globals) {
        PyErr_SetString(PyExc_SystemError, "tarvix.core.implroster: module is cleared");
        return nullptr;
    }
    return state;
}

// ---------------------------------------------------------------- small steps

PyObject* return_none() { return tvx::none().release(); }

// A module-level name of the registry, read now.
Ref global(const State& S, PyObject* name) { return tvx::load_global(S.globals, name); }

// raise ConnectionInfraError(message), the class having been looked up by the
// caller before the message was computed (as `raise E(expr)` evaluates).
PyObject* raise_infra(const Ref& error_class, const Ref& message) {
    if (!error_class || !message) return nullptr;
    return tvx::raise_with(error_class.get(), message.get());
}

// `key in node.keys()`: the dict's own test for an exact dict, the
// mapping's keys() otherwise.  1, 0 or -1.
int has_key(const Names& N, PyObject* node, PyObject* key) {
    if (PyDict_CheckExact(node)) return PyDict_Contains(node, key);
    Ref keys = tvx::call_method(node, N.keys);
    if (!keys) return -1;
    return tvx::contains(keys.get(), key);
}

// a, b, c = item, with the interpreter's messages.
bool unpack3(PyObject* item, Ref* out) {
    Ref it(PyObject_GetIter(item));
    if (!it) {
        if (g_unpack_message_37 && PyErr_ExceptionMatches(PyExc_TypeError) &&
            !PySequence_Check(item) &&
            !PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(item)), "__iter__")) {
            PyErr_Clear();
            Ref type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(item)),
                                                 "__name__"));
            if (!type_name) return false;
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %U object",
                         type_name.get());
        }
        return false;
    }
    for (int i = 0; i < 3; ++i) {
        out[i] = Ref(PyIter_Next(it.get()));
        if (!out[i]) {
            if (PyErr_Occurred()) return false;
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 3, got %d)", i);
            return false;
        }
    }
    Ref extra(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
        return false;
    }
    return !PyErr_Occurred();
}

// The text of a rendering, built as `result += prefix + line` would build it.
// While every piece is an exact str the pieces are collected and joined once;
// any other type switches to the operator chain, which is then used for the
// rest, so the result is what the chain of additions gives.
class TextBuilder {
public:
    bool start(PyObject* first) {
        if (PyUnicode_CheckExact(first)) {
            collecting_ = true;
            pieces_.push_back(Ref::borrow(first));
            return true;
        }
        acc_ = Ref::borrow(first);
        return true;
    }
    // result += prefix + line; prefix is an exact str constant.
    bool append(PyObject* prefix, PyObject* line) {
        if (collecting_ && PyUnicode_CheckExact(line)) {
            pieces_.push_back(Ref::borrow(prefix));
            pieces_.push_back(Ref::borrow(line));
            return true;
        }
        Ref rhs = tvx::add(prefix, line);
        if (!rhs) return false;
        if (collecting_ && PyUnicode_CheckExact(rhs.get())) {
            pieces_.push_back(rhs);
            return true;
        }
        if (collecting_) {
            acc_ = join();
            collecting_ = false;
            pieces_.clear();
            if (!acc_) return false;
        }
        acc_ = Ref(PyNumber_InPlaceAdd(acc_.get(), rhs.get()));  // result += ...
        return static_cast<bool>(acc_);
    }
    Ref finish() { return collecting_ ? join() : acc_; }
    // Still collecting exact str pieces (nothing but exact str seen so far).
    bool collecting() const { return collecting_; }
    // Appends a finished exact str piece; only while collecting.
    bool add_piece(PyObject* piece) {
        pieces_.push_back(Ref::borrow(piece));
        return true;
    }

private:
    Ref join() {
#ifndef Py_LIMITED_API
        return tvx::join_exact(pieces_);
#else
        Ref list(PyList_New(0));
        if (!list) return Ref();
        for (const Ref& piece : pieces_) {
            if (PyList_Append(list.get(), piece.get()) < 0) return Ref();
        }
        Ref empty(PyUnicode_FromStringAndSize("", 0));
        if (!empty) return Ref();
        return Ref(PyUnicode_Join(empty.get(), list.get()));
#endif
    }

    bool collecting_ = false;
    std::vector<Ref> pieces_;
    Ref acc_;
};

// The path of keys for os, series and model (identity tests against None).
int tree_depth(PyObject* series, PyObject* model) {
    if (model != Py_None) return 3;
    if (series != Py_None) return 2;
    return 1;
}

// ---------------------------------------------------------------- __init__, plugins

TVX_METHOD_BODY PyObject* roster_init(const State& S, PyObject* self, TVX_ARGS_DECL) {
    const Names& N = S.N;
    if (!tvx::no_args("__init__", TVX_ARGS)) return nullptr;
    Ref plugins(PyDict_New());
    if (!plugins || tvx::setattr(self, N._plugins, plugins.get()) < 0) return nullptr;
    Ref chassis = Ref(PyList_New(0));
    if (!chassis) return nullptr;
    for (PyObject* item : {N.single_rp, N.dual_rp, N.stack}) {
        if (PyList_Append(chassis.get(), item) < 0) return nullptr;
    }
    if (tvx::setattr(self, N.chassis_type_list, chassis.get()) < 0) return nullptr;
    Ref supported(PyList_New(0));
    if (!supported) return nullptr;
    for (PyObject* item : N.os_names) {
        if (PyList_Append(supported.get(), item) < 0) return nullptr;
    }
    if (tvx::setattr(self, N.supported_os, supported.get()) < 0) return nullptr;
    return return_none();
}

TVX_METHOD_BODY PyObject* plugins_get(const State& S, PyObject* self, TVX_ARGS_DECL) {
    if (!tvx::no_args("plugins", TVX_ARGS)) return nullptr;
    return tvx::getattr(self, S.N._plugins).release();
}

TVX_METHOD_BODY PyObject* plugins_set(const State& S, PyObject*, TVX_ARGS_DECL) {
    const Names& N = S.N;
    PyObject* names[] = {N.value};
    Ref a[1];
    if (!tvx::parse_args("plugins", TVX_ARGS, names, 1, 1, a)) return nullptr;
    Ref message = Ref::borrow(N.m_protected);
    return tvx::raise_with(PyExc_Exception, message.get());
}

// ---------------------------------------------------------------- validation

// The common tail of the series and model checks: a string, and lower case
// or all digits, else ConnectionInfraError with type_message or
// case_format % value.
PyObject* check_name_case(const State& S, PyObject* value, PyObject* type_message,
                          PyObject* case_format) {
    const Names& N = S.N;
    if (!tvx::is_str(value)) {
        Ref error = global(S, N.ConnectionInfraError);
        return raise_infra(error, Ref::borrow(type_message));
    }
    int t = tvx::str_islower(value, N.islower);
    if (t < 0) return nullptr;
    if (t) return return_none();
    t = tvx::str_isdigit(value, N.isdigit);
    if (t < 0) return nullptr;
    if (t) return return_none();
    Ref error = global(S, N.ConnectionInfraError);
    if (!error) return nullptr;
    return raise_infra(error, tvx::percent(case_format, value));
}

PyObject* validate_model_impl(const State& S, PyObject*, PyObject* os, PyObject* series,
                              PyObject* model) {
    const Names& N = S.N;
    int t = tvx::truth(model);
    if (t < 0) return nullptr;
    if (!t) return return_none();

    // `not series or not os`: os is tested only when series is true.
    t = tvx::truth(series);
    if (t < 0) return nullptr;
    bool missing = !t;
    if (!missing) {
        t = tvx::truth(os);
        if (t < 0) return nullptr;
        missing = !t;
    }
    if (missing) {
        Ref error = global(S, N.ConnectionInfraError);
        if (!error) return nullptr;
        Ref text = tvx::str(model);
        if (!text) return nullptr;
        return raise_infra(error, tvx::add(N.m_model_req, text.get()));
    }
    return check_name_case(S, model, N.m_model_type, N.m_model_case);
}

TVX_METHOD_BODY PyObject* validate_model(const State& S, PyObject* self, TVX_ARGS_DECL) {
    const Names& N = S.N;
    PyObject* names[] = {N.os, N.series, N.model};
    Ref a[3];
    if (!tvx::parse_args("validate_model", TVX_ARGS, names, 3, 3, a)) return nullptr;
    return validate_model_impl(S, self, a[0].get(), a[1].get(), a[2].get());
}

PyObject* validate_series_impl(const State& S, PyObject*, PyObject* os, PyObject* series) {
    const Names& N = S.N;
    int t = tvx::truth(series);
    if (t < 0) return nullptr;
    if (!t) return return_none();
    if (os == Py_None) {
        Ref error = global(S, N.ConnectionInfraError);
        if (!error) return nullptr;
        Ref text = tvx::str(series);
        if (!text) return nullptr;
        return raise_infra(error, tvx::add(N.m_series_req, text.get()));
    }
    return check_name_case(S, series, N.m_series_type, N.m_series_case);
}

TVX_METHOD_BODY PyObject* validate_series(const State& S, PyObject* self, TVX_ARGS_DECL) {
    const Names& N = S.N;
    PyObject* names[] = {N.os, N.series};
    Ref a[2];
    if (!tvx::parse_args("validate_series", TVX_ARGS, names, 2, 2, a)) return nullptr;
    return validate_series_impl(S, self, a[0].get(), a[1].get());
}

// raise ConnectionInfraError(head + str(self.<list_name>) + mid + str(value)),
// the error class looked up first, as the expression evaluates.
PyObject* raise_not_listed(const State& S, PyObject* self, PyObject* list_name, PyObject* head,
                           PyObject* mid, PyObject* value) {
    const Names& N = S.N;
    Ref error = global(S, N.ConnectionInfraError);
    if (!error) return nullptr;
    Ref listed = tvx::getattr(self, list_name);
    if (!listed) return nullptr;
    Ref listed_text = tvx::str(listed.get());
    if (!listed_text) return nullptr;
    Ref message = tvx::add(head, listed_text.get());
    message = tvx::add(message.get(), mid);
    if (!message) return nullptr;
    Ref value_text = tvx::str(value);
    if (!value_text) return nullptr;
    return raise_infra(error, tvx::add(message.get(), value_text.get()));
}

PyObject* validate_os_impl(const State& S, PyObject* self, PyObject* os) {
    const Names& N = S.N;
    // if os and os not in self.supported_os and "mocked" not in os: ...
    int t = tvx::truth(os);
    if (t < 0) return nullptr;
    if (t) {
        Ref supported = tvx::getattr(self, N.supported_os);
        if (!supported) return nullptr;
        int listed = tvx::contains(supported.get(), os);
        if (listed < 0) return nullptr;
        if (!listed) {
            int mocked = tvx::contains(os, N.mocked);
            if (mocked < 0) return nullptr;
            if (!mocked) {
                Ref logger = global(S, N.log);
                if (!logger) return nullptr;
                Ref debug = tvx::getattr(logger.get(), N.debug);
                if (!debug) return nullptr;
                Ref message = tvx::percent(N.m_os_debug, os);
                if (!message) return nullptr;
                Ref done = tvx::call(debug.get(), {message.get()});
                if (!done) return nullptr;
                return return_none();
            }
        }
    }
    // elif os: (tested again, as the chain of conditions does, whichever way
    // the first test went)
    t = tvx::truth(os);
    if (t < 0) return nullptr;
    if (t) return return_none();
    return raise_not_listed(S, self, N.supported_os, N.m_os_head, N.m_os_mid, os);
}

TVX_METHOD_BODY PyObject* validate_os(const State& S, PyObject* self, TVX_ARGS_DECL) {
    const Names& N = S.N;
    PyObject* names[] = {N.os};
    Ref a[1];
    if (!tvx::parse_args("validate_os", TVX_ARGS, names, 1, 1, a)) return nullptr;
    return validate_os_impl(S, self, a[0].get());
}

PyObject* validate_chassis_type_impl(const State& S, PyObject* self, PyObject* chassis_type) {
    const Names& N = S.N;
    int t = tvx::truth(chassis_type);
    if (t < 0) return nullptr;
    if (t) {
        Ref known = tvx::getattr(self, N.chassis_type_list);
        if (!known) return nullptr;
        int listed = tvx::contains(known.get(), chassis_type);
        if (listed < 0) return nullptr;
        if (listed) return return_none();
    }
    return raise_not_listed(S, self, N.chassis_type_list, N.m_ct_head, N.m_ct_mid, chassis_type);
}

TVX_METHOD_BODY PyObject* validate_chassis_type(const State& S, PyObject* self, TVX_ARGS_DECL) {
    const Names& N = S.N;
    PyObject* names[] = {N.chassis_type};
    Ref a[1];
    if (!tvx::parse_args("validate_chassis_type", TVX_ARGS, names, 1, 1, a)) return nullptr;
    return validate_chassis_type_impl(S, self, a[0].get());
}

PyObject* validate_arguments_impl(const State& S, PyObject* self, PyObject* os, PyObject* series,
                                  PyObject* model, PyObject* chassis_type) {
    const Names& N = S.N;
    Ref done = tvx::call_own(
        self, N.validate_model, S.own.validate_model.get(),
        [&] { return Ref(validate_model_impl(S, self, os, series, model)); }, {},
        {{N.os, os}, {N.series, series}, {N.model, model}});
    if (!done) return nullptr;
    done = tvx::call_own(
        self, N.validate_series, S.own.validate_series.get(),
        [&] { return Ref(validate_series_impl(S, self, os, series)); }, {},
        {{N.series, series}, {N.os, os}});
    if (!done) return nullptr;
    done = tvx::call_own(self, N.validate_os, S.own.validate_os.get(),
                         [&] { return Ref(validate_os_impl(S, self, os)); }, {}, {{N.os, os}});
    if (!done) return nullptr;
    int gavri = tvx::equal(os, N.gavri);
    if (gavri < 0) return nullptr;
    if (gavri) return return_none();
    done = tvx::call_own(self, N.validate_chassis_type, S.own.validate_chassis_type.get(),
                         [&] { return Ref(validate_chassis_type_impl(S, self, chassis_type)); }, {},
                         {{N.chassis_type, chassis_type}});
    if (!done) return nullptr;
    return return_none();
}

TVX_METHOD_BODY PyObject* validate_arguments(const State& S, PyObject* self, TVX_ARGS_DECL) {
    const Names& N = S.N;
    PyObject* names[] = {N.os, N.series, N.model, N.chassis_type};
    Ref a[4];
    if (!tvx::parse_args("validate_arguments", TVX_ARGS, names, 4, 4, a)) return nullptr;
    return validate_arguments_impl(S, self, a[0].get(), a[1].get(), a[2].get(), a[3].get());
}

// self.validate_arguments(os, series, model, chassis_type), positionally.
Ref validate_through_self(const State& S, PyObject* self, PyObject* os, PyObject* series,
                          PyObject* model, PyObject* chassis_type) {
    const Names& N = S.N;
    return tvx::call_own(
        self, N.validate_arguments, S.own.validate_arguments.get(),
        [&] { return Ref(validate_arguments_impl(S, self, os, series, model, chassis_type)); },
        {os, series, model, chassis_type});
}

// ---------------------------------------------------------------- lookup

TVX_METHOD_BODY PyObject* get_plugin(const State& S, PyObject* self, TVX_ARGS_DECL) {
    const Names& N = S.N;
    PyObject* names[] = {N.os, N.series, N.model, N.chassis_type};
    Ref a[4];
    if (!tvx::parse_args("get_plugin", TVX_ARGS, names, 4, 0, a)) return nullptr;
    for (int i = 0; i < 3; ++i) {
        if (!a[i]) a[i] = tvx::none();
    }
    if (!a[3]) a[3] = Ref::borrow(N.single_rp);
    PyObject* chassis_type = a[3].get();

    Ref done = validate_through_self(S, self, a[0].get(), a[1].get(), a[2].get(), chassis_type);
    if (!done) return nullptr;

    const int depth = tree_depth(a[1].get(), a[2].get());
    Ref root = tvx::getattr(self, N._plugins);
    if (!root) return nullptr;
    for (int i = 0; i < depth; ++i) {
        int found = has_key(N, root.get(), a[i].get());
        if (found < 0) return nullptr;
        if (!found) break;
        root = tvx::getitem(root.get(), a[i].get());
        if (!root) return nullptr;
    }
    int found = has_key(N, root.get(), N.data);
    if (found < 0) return nullptr;
    if (found) {
        Ref data = tvx::getitem(root.get(), N.data);
        if (!data) return nullptr;
        found = has_key(N, data.get(), chassis_type);
        if (found < 0) return nullptr;
        if (found) {
            Ref record = tvx::getitem(data.get(), chassis_type);
            if (!record) return nullptr;
            return tvx::getitem(record.get(), N.cls).release();
        }
    }

    Ref error = global(S, N.ConnectionInfraError);
    if (!error) return nullptr;
    Ref path(PyList_New(0));
    if (!path) return nullptr;
    for (int i = 0; i < depth; ++i) {
        if (PyList_Append(path.get(), a[i].get()) < 0) return nullptr;
    }
    Ref joined(PyUnicode_Join(N.slash, path.get()));
    if (!joined) return nullptr;
    Ref message = tvx::add(N.m_nf_head, joined.get());
    message = tvx::add(message.get(), N.m_nf_type);
    if (!message) return nullptr;
    Ref type_text = tvx::str(chassis_type);
    if (!type_text) return nullptr;
    message = tvx::add(message.get(), type_text.get());
    return raise_infra(error, tvx::add(message.get(), N.m_blank));
}

// ---------------------------------------------------------------- unregistration

TVX_METHOD_BODY PyObject* unregister_plugin(const State& S, PyObject* self, TVX_ARGS_DECL) {
    const Names& N = S.N;
    PyObject* names[] = {N.os, N.series, N.model, N.chassis_type};
    Ref a[4];
    if (!tvx::parse_args("unregister_plugin", TVX_ARGS, names, 4, 0, a)) return nullptr;
    for (Ref& value : a) {
        if (!value) value = tvx::none();
    }
    PyObject* chassis_type = a[3].get();

    Ref done = validate_through_self(S, self, a[0].get(), a[1].get(), a[2].get(), N.single_rp);
    if (!done) return nullptr;

    const int depth = tree_depth(a[1].get(), a[2].get());
    Ref cur_node = tvx::getattr(self, N._plugins);
    if (!cur_node) return nullptr;
    for (int i = 0; i < depth; ++i) {
        int found = has_key(N, cur_node.get(), a[i].get());
        if (found < 0) return nullptr;
        if (!found) {
            Ref error = global(S, N.ConnectionInfraError);
            return raise_infra(error, Ref::borrow(N.m_nf));
        }
        cur_node = tvx::getitem(cur_node.get(), a[i].get());
        if (!cur_node) return nullptr;
    }
    int found = has_key(N, cur_node.get(), N.data);
    if (found < 0) return nullptr;
    if (!found) {
        Ref error = global(S, N.ConnectionInfraError);
        return raise_infra(error, Ref::borrow(N.m_nf));
    }
    if (chassis_type == Py_None) {
        if (PyObject_DelItem(cur_node.get(), N.data) < 0) return nullptr;
        return return_none();
    }
    Ref data = tvx::getitem(cur_node.get(), N.data);
    if (!data) return nullptr;
    found = has_key(N, data.get(), chassis_type);
    if (found < 0) return nullptr;
    if (!found) {
        Ref error = global(S, N.ConnectionInfraError);
        if (!error) return nullptr;
        return raise_infra(error, tvx::percent(N.m_nf_for, chassis_type));
    }
    if (PyObject_DelItem(data.get(), chassis_type) < 0) return nullptr;
    return return_none();
}

// ---------------------------------------------------------------- registration

TVX_METHOD_BODY PyObject* register_plugin(const State& S, PyObject* self, TVX_ARGS_DECL) {
    const Names& N = S.N;
    PyObject* names[] = {N.cls, N.os, N.series, N.model, N.chassis_type};
    Ref a[5];
    if (!tvx::parse_args("register_plugin", TVX_ARGS, names, 5, 1, a)) return nullptr;
    for (int i = 1; i < 4; ++i) {
        if (!a[i]) a[i] = tvx::none();
    }
    if (!a[4]) a[4] = Ref::borrow(N.single_rp);
    PyObject* cls = a[0].get();
    PyObject* chassis_type = a[4].get();
    PyObject* path[3] = {a[1].get(), a[2].get(), a[3].get()};

    Ref done = validate_through_self(S, self, path[0], path[1], path[2], chassis_type);
    if (!done) return nullptr;

    const int depth = tree_depth(path[1], path[2]);
    // "data" names the chassis map at every depth of the tree, so it cannot
    // be an os, series or model: such an entry would be read as a chassis map.
    PyObject* const reserved[3] = {N.m_reserved_os, N.m_reserved_series, N.m_reserved_model};
    for (int i = 0; i < depth; ++i) {
        int is_data = tvx::equal(path[i], N.data);
        if (is_data < 0) return nullptr;
        if (is_data) {
            Ref error = global(S, N.ConnectionInfraError);
            return raise_infra(error, Ref::borrow(reserved[i]));
        }
    }

    // All or nothing: the walk only reads the tree, everything that can fail
    // (the class's file, the chassis type as a key) is done before the tree
    // is changed, and missing nodes are built aside and attached by one
    // final assignment.
    Ref cur_node = tvx::getattr(self, N._plugins);
    if (!cur_node) return nullptr;
    int reached = 0;
    for (; reached < depth; ++reached) {
        int found = has_key(N, cur_node.get(), path[reached]);
        if (found < 0) return nullptr;
        if (!found) break;
        Ref next = tvx::getitem(cur_node.get(), path[reached]);
        if (!next) return nullptr;
        cur_node = next;
    }

    // The class's file, read once the walk has found where the record goes.
    Ref getfile = global(S, N.getfile);
    if (!getfile) return nullptr;
    Ref class_path = tvx::call(getfile.get(), {cls});
    if (!class_path) return nullptr;
    Ref record(PyDict_New());
    if (!record || PyDict_SetItem(record.get(), N.cls, cls) < 0 ||
        PyDict_SetItem(record.get(), N.path, class_path.get()) < 0) {
        return nullptr;
    }

    if (reached == depth) {
        int found = has_key(N, cur_node.get(), N.data);
        if (found < 0) return nullptr;
        if (found) {
            Ref data = tvx::getitem(cur_node.get(), N.data);
            if (!data || PyObject_SetItem(data.get(), chassis_type, record.get()) < 0 ||
                PyObject_SetItem(cur_node.get(), N.data, data.get()) < 0) {
                return nullptr;
            }
        } else {
            Ref data(PyDict_New());
            if (!data || PyObject_SetItem(data.get(), chassis_type, record.get()) < 0 ||
                PyObject_SetItem(cur_node.get(), N.data, data.get()) < 0) {
                return nullptr;
            }
        }
        return return_none();
    }

    Ref data(PyDict_New());
    if (!data || PyObject_SetItem(data.get(), chassis_type, record.get()) < 0) return nullptr;
    Ref node(PyDict_New());
    if (!node || PyDict_SetItem(node.get(), N.data, data.get()) < 0) return nullptr;
    for (int i = depth - 1; i > reached; --i) {
        Ref parent(PyDict_New());
        if (!parent || PyObject_SetItem(parent.get(), path[i], node.get()) < 0) return nullptr;
        node = parent;
    }
    if (PyObject_SetItem(cur_node.get(), path[reached], node.get()) < 0) return nullptr;
    return return_none();
}

// ---------------------------------------------------------------- discovery

// The walk's error callback: an ImportError of a package that holds no
// plugins is passed over; an ImportError of a package that does (its name
// followed by "." contains ".plugins.") and any other exception are raised
// again, so that they end discovery.
PyObject* walk_onerror(PyObject* home, PyObject* name) {
    State* state = state_of_module(home);
    if (!state) return nullptr;
    const Names& N = state->N;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* trace = nullptr;
    PyErr_GetExcInfo(&type, &value, &trace);
    Ref type_ref(type), value_ref(value), trace_ref(trace);
    if (!type || type == Py_None) return return_none();
    bool reraise = !PyErr_GivenExceptionMatches(type, PyExc_ImportError);
    if (!reraise) {
        Ref dotted = tvx::add(name, N.dot);
        if (!dotted) return nullptr;
        int holds_plugins = tvx::contains(dotted.get(), N.plugins_marker);
        if (holds_plugins < 0) return nullptr;
        reraise = holds_plugins != 0;
    }
    if (!reraise) return return_none();
    PyErr_Restore(type_ref.release(), value_ref.release(), trace_ref.release());
    return nullptr;
}

PyMethodDef walk_onerror_def = {"_walk_onerror", TVX_FN(walk_onerror), METH_O,
                                "Re-raises the import errors that end plugin discovery."};

// from .. import a, b (relative to the registry's package)
bool import_from_top(const State& S, PyObject* first, PyObject* second, Ref* out) {
    const Names& N = S.N;
    Ref fromlist = tvx::make_tuple({first, second});
    if (!fromlist) return false;
    if (!S.globals) {
        PyErr_SetString(PyExc_SystemError, "module namespace is not initialised");
        return false;
    }
    Ref package(PyImport_ImportModuleLevelObject(N.empty_name, S.globals, S.globals,
                                                 fromlist.get(), 2));
    if (!package) return false;
    out[0] = tvx::import_from(package.get(), first);
    if (!out[0]) return false;
    out[1] = tvx::import_from(package.get(), second);
    return static_cast<bool>(out[1]);
}

PyObject* discover_builtin_plugins(PyObject* home, TVX_ARGS_DECL) {
    State* state = state_of_module(home);
    if (!state) return nullptr;
    const State& S = *state;
    const Names& N = S.N;
    if (!tvx::parse_args("discover_builtin_plugins", TVX_ARGS, nullptr, 0, 0, nullptr, false)) {
        return nullptr;
    }
    Ref found[2];
    Ref search_path, package_name;
    if (import_from_top(S, N.dunder_path, N.dunder_name, found)) {
        search_path = found[0];
        package_name = found[1];
    } else {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return nullptr;
        PyErr_Clear();
        if (!import_from_top(S, N.dunder_file, N.dunder_name, found)) return nullptr;
        package_name = found[1];
        Ref os_module = global(S, N.os);
        if (!os_module) return nullptr;
        Ref os_path = tvx::getattr(os_module.get(), N.path);
        if (!os_path) return nullptr;
        Ref directory = tvx::call_method(os_path.get(), N.dirname, {found[0].get()});
        if (!directory) return nullptr;
        search_path = Ref(PyList_New(0));
        if (!search_path || PyList_Append(search_path.get(), directory.get()) < 0) return nullptr;
    }

    Ref pkgutil = global(S, N.pkgutil);
    if (!pkgutil) return nullptr;
    Ref walk = tvx::getattr(pkgutil.get(), N.walk_packages);
    if (!walk) return nullptr;
    Ref prefix = tvx::add(package_name.get(), N.dot);
    if (!prefix) return nullptr;
    Ref walker = tvx::call(walk.get(), {search_path.get(), prefix.get()},
                           {{N.onerror, S.onerror.get()}});
    if (!walker) return nullptr;
    Ref it(PyObject_GetIter(walker.get()));
    if (!it) return nullptr;
    for (;;) {
        Ref item(PyIter_Next(it.get()));
        if (!item) {
            if (PyErr_Occurred()) return nullptr;
            break;
        }
        Ref parts[3];  // finder, name, ispkg
        if (!unpack3(item.get(), parts)) return nullptr;
        PyObject* name = parts[1].get();
        int is_plugin = tvx::contains(name, N.plugins_marker);
        if (is_plugin < 0) return nullptr;
        if (!is_plugin) continue;
        Ref importlib = global(S, N.importlib);
        if (!importlib) return nullptr;
        Ref module = tvx::call_method(importlib.get(), N.import_module, {name});
        if (!module) return nullptr;
    }
    return return_none();
}

PyObject* discover_external_plugins(PyObject* home, TVX_ARGS_DECL) {
    State* state = state_of_module(home);
    if (!state) return nullptr;
    const State& S = *state;
    const Names& N = S.N;
    if (!tvx::parse_args("discover_external_plugins", TVX_ARGS, nullptr, 0, 0, nullptr,
                         false)) {
        return nullptr;
    }
    Ref query = global(S, N.iter_entry_points);
    if (!query) return nullptr;
    Ref group = global(S, N.ENTRYPOINT_GROUP);
    if (!group) return nullptr;
    Ref entries = tvx::call(query.get(), {}, {{N.group, group.get()}});
    if (!entries) return nullptr;
    Ref it(PyObject_GetIter(entries.get()));
    if (!it) return nullptr;
    for (;;) {
        Ref entry(PyIter_Next(it.get()));
        if (!entry) {
            if (PyErr_Occurred()) return nullptr;
            break;
        }
        Ref name = tvx::getattr(entry.get(), N.name);
        if (!name) return nullptr;
        Ref name_text = tvx::str(name.get());
        if (!name_text) return nullptr;
        Ref message = tvx::add(N.m_load_head, name_text.get());
        message = tvx::add(message.get(), N.m_load_from);
        if (!message) return nullptr;
        Ref module_name = tvx::getattr(entry.get(), N.module_name);
        if (!module_name) return nullptr;
        Ref module_text = tvx::str(module_name.get());
        if (!module_text) return nullptr;
        message = tvx::add(message.get(), module_text.get());
        if (!message) return nullptr;

        Ref logger = global(S, N.log);
        if (!logger) return nullptr;
        Ref logged = tvx::call_method(logger.get(), N.debug, {message.get()});
        if (!logged) return nullptr;
        Ref loaded = tvx::call_method(entry.get(), N.load);
        if (!loaded) return nullptr;
    }
    return return_none();
}

// ---------------------------------------------------------------- rendering

// print_tree renders a level and calls self.print_tree for each key of it.
// Where that call would find the class's own method bound to the same
// instance, the level is not rendered by a call but kept on a heap stack of
// levels and rendered by the same loop: a deep tree takes no C stack,
// however high the recursion limit.  Each such level counts against the
// recursion limit as the frame of the call it stands for would
// (tvx::HeapRecursion), so RecursionError comes where the recursion would
// raise it, and any other print_tree (an override in a subclass or on the
// instance) is called as it is found, with keyword arguments.

#ifdef TVX_PREFIXED_WRITER
// A rendering in one pass, for trees whose rendering runs nobody's code:
// exact dicts with exact str keys, and leaves that are None, exact str or
// classes of the plain metaclass whose namespace has exact str keys only
// (their text then reads nothing but str-keyed entries).  The tree is
// measured first, then every line is written once, with its full prefix,
// into a str of that length.  Each step is the one the recursive rendering
// takes, in the same order; as none of them runs code, the text is the one
// the recursion builds.
class PlainRendering {
public:
    // 1 when the tree is plain and measured, 0 when it is not (or nests
    // deeper than `room`), -1 with an error set.
    int measure(PyObject* data, PyObject* heading, int room) {
        Py_ssize_t length = 0;
        const int plain = measure_node(data, 0, heading, 0, room, &length);
        length_ = length;
        return plain;
    }

    Ref write(PyObject* data, PyObject* heading) {
        if (!out_.open(length_, maxchar_)) return Ref();
        std::string rest;
        if (!write_node(data, "", heading, rest)) return Ref();
        return out_.finish();
    }

private:
    // Whether the node renders as the empty text; a str is made ready first
    // (a legacy str reports its length only then).  -1 with an error set.
    static int is_empty(PyObject* node) {
        if (node == Py_None) return 1;
        if (PyDict_CheckExact(node)) return PyDict_Size(node) == 0;
        if (!PyUnicode_CheckExact(node)) return 0;
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(node) < 0) return -1;
#endif
        return PyUnicode_GET_LENGTH(node) == 0;
    }

    // str(leaf) for a non-empty leaf, kept per class: 1, 0 (not plain), -1.
    int leaf_text(PyObject* leaf, Ref* text) {
        if (PyUnicode_CheckExact(leaf)) {
            *text = Ref::borrow(leaf);
            return 1;
        }
        if (Py_TYPE(leaf) != &PyType_Type) return 0;
        const auto known = class_texts_.find(leaf);
        if (known != class_texts_.end()) {
            *text = known->second.second;
            return 1;
        }
        PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(leaf);
        if (!PyType_HasFeature(cls, Py_TPFLAGS_HEAPTYPE) || !cls->tp_dict) return 0;
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(cls->tp_dict, &pos, &key, &value)) {  // runs no code
            if (!PyUnicode_CheckExact(key)) return 0;
        }
        *text = tvx::str(leaf);
        if (!*text) return -1;
        if (!PyUnicode_CheckExact(text->get())) return 0;
        class_texts_.emplace(leaf, std::make_pair(Ref::borrow(leaf), *text));
        return 1;
    }

    int measure_node(PyObject* node, Py_ssize_t head, PyObject* label, Py_ssize_t rest, int room,
                     Py_ssize_t* length) {
        const int empty = is_empty(node);
        if (empty) return empty < 0 ? -1 : 1;
        const Py_ssize_t label_length = tvx::prefixed_length(label, rest, &maxchar_);
        if (label_length < 0) return -1;
        *length += head + label_length;
        if (!PyDict_CheckExact(node)) {
            Ref text;
            const int plain = leaf_text(node, &text);
            if (plain <= 0) return plain;
            const Py_ssize_t text_length = tvx::prefixed_length(text.get(), rest, &maxchar_);
            if (text_length < 0) return -1;
            *length += 3 + text_length;  // " = "
            return 1;
        }
        if (room <= 0) return 0;
        // The last key in sorted order is the greatest.
        PyObject* last = nullptr;
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(node, &pos, &key, &value)) {  // runs no code
            if (!PyUnicode_CheckExact(key)) return 0;
            if (!last || PyUnicode_Compare(key, last) > 0) last = key;
        }
        Ref last_key = Ref::borrow(last);
        pos = 0;
        while (PyDict_Next(node, &pos, &key, &value)) {  // runs no code
            Ref child_key = Ref::borrow(key);
            Ref child = Ref::borrow(value);
            const Py_ssize_t separator = key == last_key.get() ? 2 : 3;
            *length += 1 + rest + 3;  // "\n", the prefix, "  |"
            const int plain =
                measure_node(child.get(), 3, child_key.get(), rest + separator, room - 1, length);
            if (plain <= 0) return plain;
        }
        return 1;
    }

    bool write_node(PyObject* node, const char* head, PyObject* label, std::string& rest) {
        const int empty = is_empty(node);  // made ready while measuring
        if (empty) return empty > 0;
        out_.put_ascii(head, std::strlen(head));
        out_.put(label, rest);
        if (!PyDict_CheckExact(node)) {
            Ref text;
            if (leaf_text(node, &text) <= 0) return false;  // measured already: found
            out_.put_ascii(" = ", 3);
            out_.put(text.get(), rest);
            return true;
        }
        std::vector<Ref> keys;
        keys.reserve(static_cast<std::size_t>(PyDict_Size(node)));
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* unused;
        while (PyDict_Next(node, &pos, &key, &unused)) keys.push_back(Ref::borrow(key));
        std::sort(keys.begin(), keys.end(), [](const Ref& a, const Ref& b) {
            return PyUnicode_Compare(a.get(), b.get()) < 0;
        });
        const std::size_t base = rest.size();
        for (std::size_t i = 0; i < keys.size(); ++i) {
            Ref value = Ref::borrow(PyDict_GetItem(node, keys[i].get()));
            if (!value) {
                PyErr_SetObject(PyExc_KeyError, keys[i].get());
                return false;
            }
            out_.put_ascii("\n", 1);
            out_.put_ascii(rest);
            out_.put_ascii("  |", 3);
            rest.append(i + 1 == keys.size() ? "  " : "  |");
            const bool done = write_node(value.get(), "__ ", keys[i].get(), rest);
            rest.resize(base);
            if (!done) return false;
        }
        return true;
    }

    std::unordered_map<PyObject*, std::pair<Ref, Ref>> class_texts_;  // class -> (class, str(class))
    Py_ssize_t length_ = 0;
    Py_UCS4 maxchar_ = 0x7F;
    tvx::PrefixedWriter out_;
};

// print_tree(data, output) in one pass, when the instance renders with the
// class's own method at every level and the tree is plain: 1 with the text
// in *text, 0 when the rendering by levels must be taken, -1 with an error
// set.
int print_tree_plain(const State& S, PyObject* self, PyObject* data, PyObject* output, Ref* text) {
    if (!PyDict_CheckExact(data) || PyDict_Size(data) == 0 || !PyUnicode_CheckExact(output)) return 0;
    if (!tvx::is_own_method(self, S.N.print_tree, S.own.print_tree.get())) return 0;
    // Far enough from either recursion bound that the rendering by levels
    // could not have met it.
    const int margin = 50;
    const int limit = Py_GetRecursionLimit();
    const int room = std::min(tvx::recursion_room(), limit) - margin;
    if (room <= 0) return 0;
    PlainRendering rendering;
    const int plain = rendering.measure(data, output, std::min(room, 64));
    if (plain <= 0) return plain;
    *text = rendering.write(data, output);
    return *text ? 1 : -1;
}
#endif

// The function behind the print_tree of the module's class.
PyCFunction own_print_tree_function(const State& S);

// Whether self.print_tree is the class's own method bound to self: 1; else
// 0 with the attribute, as looked up, in *bound; -1 with an error set.
int find_print_tree(const State& S, PyObject* self, Ref* bound) {
    if (tvx::is_own_method(self, S.N.print_tree, S.own.print_tree.get())) return 1;
    *bound = tvx::getattr(self, S.N.print_tree);
    if (!*bound) return -1;
    PyObject* found = bound->get();
    if (PyCFunction_Check(found) && PyCFunction_GetSelf(found) == self &&
        PyCFunction_GetFunction(found) == own_print_tree_function(S)) {
#ifdef TVX_DEFINING_CLASS
        // (Bound to run on the class of this module.)
        return reinterpret_cast<PyObject*>(PyCFunction_GET_CLASS(found)) == S.cls.get();
#else
        // (It finds its state through the class of self, as this call did.)
        return 1;
#endif
    }
    return 0;
}

// One dict level of a rendering under way: its keys in sorted order, the
// next key to render, and its text so far.
struct Level {
    Ref data;
    std::vector<Ref> sorted_keys;
    Ref last_key;
    std::size_t next = 0;
    TextBuilder result;
};

// The first steps of print_tree(data, output): 1 with the whole text in
// *text when data renders without looking at its keys (false, equal to {},
// not a dict), 0 with *level ready for its keys, -1 with an error set.
int begin_level(const State& S, PyObject* data, PyObject* output, Level* level, Ref* text) {
    const Names& N = S.N;
    int t = tvx::truth(data);
    if (t < 0) return -1;
    if (!t) {
        *text = Ref::borrow(N.empty);
        return 1;
    }
    if (!PyDict_CheckExact(data)) {
        // (An exact dict that is true is never equal to {}.)
        Ref empty(PyDict_New());
        if (!empty) return -1;
        int eq = tvx::equal(data, empty.get());
        if (eq < 0) return -1;
        if (eq) {
            *text = Ref::borrow(N.empty);
            return 1;
        }
    }
    if (!tvx::is_dict(data)) {
        Ref head = tvx::add(output, N.eq_sep);
        if (!head) return -1;
        Ref value_text = tvx::str(data);
        if (!value_text) return -1;
        *text = tvx::add(head.get(), value_text.get());
        return *text ? 1 : -1;
    }

    // sorted(data.keys()), each key held by a reference of its own while
    // user code runs.  For an exact dict whose keys are all exact str the
    // keys are sorted here by code point, which is the order the list sort
    // gives them (comparing exact str runs no code); otherwise the keys()
    // of the mapping are sorted as a list.
    std::vector<Ref>& sorted_keys = level->sorted_keys;
    bool sorted_here = false;
    if (PyDict_CheckExact(data)) {
        sorted_here = true;
        sorted_keys.reserve(static_cast<std::size_t>(PyDict_Size(data)));
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* unused;
        while (PyDict_Next(data, &pos, &key, &unused)) {  // no code runs in this loop
            if (!PyUnicode_CheckExact(key)) {
                sorted_here = false;
                break;
            }
            sorted_keys.push_back(Ref::borrow(key));
        }
        if (sorted_here) {
            std::sort(sorted_keys.begin(), sorted_keys.end(), [](const Ref& a, const Ref& b) {
                return PyUnicode_Compare(a.get(), b.get()) < 0;
            });
        } else {
            sorted_keys.clear();
        }
    }
    if (!sorted_here) {
        Ref keys_list;
        if (PyDict_CheckExact(data)) {
            keys_list = Ref(PyDict_Keys(data));
        } else {
            Ref view = tvx::call_method(data, N.keys);
            if (!view) return -1;
            keys_list = Ref(PySequence_List(view.get()));
        }
        if (!keys_list || PyList_Sort(keys_list.get()) < 0) return -1;
        // The list is this call's own, so its items cannot change under us.
        const Py_ssize_t n = PyList_Size(keys_list.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            sorted_keys.push_back(Ref::borrow(PyList_GetItem(keys_list.get(), i)));
        }
    }
    if (sorted_keys.empty()) {  // a mapping whose keys() is empty: sorted_keys[-1] fails
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return -1;
    }
    level->last_key = sorted_keys.back();
    level->data = Ref::borrow(data);
    return level->result.start(output) ? 0 : -1;
}

// The text of the subtree of the level's next key, added line by line with
// its connectors; the level moves on to the key after it.
bool add_subtree(const State& S, Level& level, PyObject* temp_output) {
    const Names& N = S.N;
    const Ref key = level.sorted_keys[level.next++];
    int is_last = tvx::equal(key.get(), level.last_key.get());
    if (is_last < 0) return false;
    PyObject* line_prefix = is_last ? N.nl_two_blanks : N.nl_bar;  // "\n" + separator

#ifdef TVX_PREFIX_LINES
    // An exact str subtree under an exact str key: every line gets its
    // connector in one pass (the first line "\n  |", as the per-line test of
    // the key against the last key decides).
    if (PyUnicode_CheckExact(temp_output) && PyUnicode_CheckExact(key.get()) &&
        level.result.collecting()) {
        Ref piece = tvx::prefix_lines(temp_output, N.nl_bar, line_prefix);
        return piece && level.result.add_piece(piece.get());
    }
#endif
    Ref lines;
    if (PyUnicode_CheckExact(temp_output)) {
        lines = Ref(PyUnicode_Split(temp_output, N.nl, -1));
    } else {
        lines = tvx::call_method(temp_output, N.split, {N.nl});
    }
    if (!lines) return false;
    Ref line_iter(PyObject_GetIter(lines.get()));
    if (!line_iter) return false;
    long current_line = 1;
    for (;;) {
        Ref line(PyIter_Next(line_iter.get()));
        if (!line) return !PyErr_Occurred();
        bool first_of_last = false;
        if (current_line == 1) {
            int eq = tvx::equal(key.get(), level.last_key.get());
            if (eq < 0) return false;
            first_of_last = eq != 0;
        }
        if (!level.result.append(first_of_last ? N.nl_bar : line_prefix, line.get())) return false;
        ++current_line;
    }
}

// print_tree(data, output) with the levels that the class's own method
// renders kept on the heap.
Ref render_levels(const State& S, PyObject* self, PyObject* data, PyObject* output) {
    const Names& N = S.N;
    tvx::HeapRecursion depth;
    depth.open();
    std::vector<Level> levels(1);
    Ref text;
    int begun = begin_level(S, data, output, &levels.back(), &text);
    if (begun != 0) return text;
    for (;;) {
        Level& level = levels.back();
        if (level.next == level.sorted_keys.size()) {
            text = level.result.finish();
            if (!text) return Ref();
            levels.pop_back();
            if (levels.empty()) return text;
            depth.leave();
            if (!add_subtree(S, levels.back(), text.get())) return Ref();
            continue;
        }
        // self.print_tree(data=data[key], output="__ " + key): the method
        // is looked up first, then the arguments are computed.
        Ref bound;
        const int own = find_print_tree(S, self, &bound);
        if (own < 0) return Ref();
        const Ref key = level.sorted_keys[level.next];
        Ref value = tvx::getitem(level.data.get(), key.get());
        if (!value) return Ref();
        Ref label = tvx::add(N.label_prefix, key.get());
        if (!label) return Ref();
        if (!own) {
            text = tvx::call(bound.get(), {}, {{N.data, value.get()}, {N.output, label.get()}});
            if (!text || !add_subtree(S, level, text.get())) return Ref();
            continue;
        }
        if (!depth.enter()) return Ref();
        Level child;
        begun = begin_level(S, value.get(), label.get(), &child, &text);
        if (begun < 0) return Ref();
        if (begun > 0) {
            depth.leave();
            if (!add_subtree(S, level, text.get())) return Ref();
            continue;
        }
        levels.push_back(std::move(child));
    }
}

// Where a rendering is entered from outside: print_tree called, or repr.
PyObject* print_tree_impl(const State& S, PyObject* self, PyObject* data, PyObject* output) {
    tvx::RenderingEntry entry;
    if (!entry.entered()) return nullptr;
#ifdef TVX_PREFIXED_WRITER
    // Tried where a rendering begins, not again where an override enters
    // it for a level of a tree that turned out not to be plain.
    if (entry.outermost()) {
        Ref text;
        const int plain = print_tree_plain(S, self, data, output, &text);
        if (plain < 0) return nullptr;
        if (plain) return text.release();
    }
#endif
    return render_levels(S, self, data, output).release();
}

TVX_METHOD_BODY PyObject* print_tree(const State& S, PyObject* self, TVX_ARGS_DECL) {
    const Names& N = S.N;
    PyObject* names[] = {N.data, N.output};
    Ref a[2];
    if (!tvx::parse_args("print_tree", TVX_ARGS, names, 2, 1, a)) return nullptr;
    if (!a[1]) a[1] = Ref::borrow(N.plugin);
    return print_tree_impl(S, self, a[0].get(), a[1].get());
}

TVX_METHOD_BODY PyObject* roster_repr(const State& S, PyObject* self, TVX_ARGS_DECL) {
    const Names& N = S.N;
    if (!tvx::no_args("__repr__", TVX_ARGS)) return nullptr;
    Ref cls = tvx::getattr(self, N.dunder_class);
    if (!cls) return nullptr;
    Ref cls_text = tvx::str(cls.get());
    if (!cls_text) return nullptr;
    Ref heading = tvx::add(N.m_rep_head, cls_text.get());
    heading = tvx::add(heading.get(), N.m_rep_at);
    if (!heading) return nullptr;
    Ref address(PyLong_FromVoidPtr(self));
    if (!address) return nullptr;
    Ref hex(PyNumber_ToBase(address.get(), 16));
    if (!hex) return nullptr;
    Ref hex_text = tvx::str(hex.get());
    if (!hex_text) return nullptr;
    heading = tvx::add(heading.get(), hex_text.get());
    heading = tvx::add(heading.get(), N.m_rep_tail);
    if (!heading) return nullptr;

    // self.print_tree(data=self._plugins, output=heading): the method is
    // looked up before its arguments are read.
    Ref render;
    const int own = find_print_tree(S, self, &render);
    if (own < 0) return nullptr;
    Ref tree = tvx::getattr(self, N._plugins);
    if (!tree) return nullptr;
    if (own) return print_tree_impl(S, self, tree.get(), heading.get());
    return tvx::call(render.get(), {}, {{N.data, tree.get()}, {N.output, heading.get()}}).release();
}

// ---------------------------------------------------------------- entry points

// getattr(obj, name), an AttributeError giving an empty Ref without an error.
Ref getattr_optional(PyObject* obj, PyObject* name) {
    Ref value = tvx::getattr(obj, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return value;
}

// importlib.metadata, else the importlib_metadata backport, else None.
Ref import_metadata(const State& S) {
    const Names& N = S.N;
    for (PyObject* name : {N.importlib_metadata_std, N.importlib_metadata_backport}) {
        Ref module(PyImport_Import(name));
        if (module) return module;
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return Ref();
        PyErr_Clear();
    }
    return tvx::none();
}

// The module of an entry point's value "module:attr [extras]".
Ref module_of_value(const State& S, PyObject* value) {
    const Names& N = S.N;
    Ref parts = tvx::call_method(value, N.split, {N.colon});
    if (!parts) return Ref();
    Ref head(PySequence_GetItem(parts.get(), 0));
    if (!head) return Ref();
    parts = tvx::call_method(head.get(), N.split, {N.bracket});
    if (!parts) return Ref();
    head = Ref(PySequence_GetItem(parts.get(), 0));
    if (!head) return Ref();
    return tvx::call_method(head.get(), N.strip);
}

// iter_entry_points(group) over importlib.metadata, bound where pkg_resources
// cannot be imported: the group's entry points as objects with name,
// module_name and load().
PyObject* own_iter_entry_points(PyObject* home, TVX_ARGS_DECL) {
    State* state = state_of_module(home);
    if (!state) return nullptr;
    const State& S = *state;
    const Names& N = S.N;
    PyObject* names[] = {N.group};
    Ref a[1];
    if (!tvx::parse_args("iter_entry_points", TVX_ARGS, names, 1, 1, a, false)) return nullptr;
    PyObject* group = a[0].get();
    Ref result(PyList_New(0));
    if (!result) return nullptr;
    Ref metadata = import_metadata(S);
    if (!metadata) return nullptr;
    if (metadata.get() != Py_None) {
        Ref all = tvx::call_method(metadata.get(), N.entry_points);
        if (!all) return nullptr;
        Ref selected;
        Ref select = getattr_optional(all.get(), N.select);
        if (select) {
            selected = tvx::call(select.get(), {}, {{N.group, group}});
        } else if (PyErr_Occurred()) {
            return nullptr;
        } else if (PyDict_Check(all.get())) {
            // 3.8 and 3.9: a dict from group to a tuple of entry points.
            Ref nothing(PyTuple_New(0));
            if (!nothing) return nullptr;
            selected = tvx::call_method(all.get(), N.get, {group, nothing.get()});
        } else {
            selected = Ref(PyList_New(0));
            Ref every(PyObject_GetIter(all.get()));
            if (!selected || !every) return nullptr;
            for (;;) {
                Ref entry(PyIter_Next(every.get()));
                if (!entry) {
                    if (PyErr_Occurred()) return nullptr;
                    break;
                }
                Ref entry_group = tvx::getattr(entry.get(), N.group);
                if (!entry_group) return nullptr;
                int same = tvx::equal(entry_group.get(), group);
                if (same < 0) return nullptr;
                if (same && PyList_Append(selected.get(), entry.get()) < 0) return nullptr;
            }
        }
        if (!selected) return nullptr;
        Ref types(PyImport_Import(N.types));
        if (!types) return nullptr;
        Ref make = tvx::getattr(types.get(), N.SimpleNamespace);
        if (!make) return nullptr;
        Ref it(PyObject_GetIter(selected.get()));
        if (!it) return nullptr;
        for (;;) {
            Ref entry(PyIter_Next(it.get()));
            if (!entry) {
                if (PyErr_Occurred()) return nullptr;
                break;
            }
            Ref name = tvx::getattr(entry.get(), N.name);
            if (!name) return nullptr;
            Ref module = getattr_optional(entry.get(), N.module);
            if (!module) {
                if (PyErr_Occurred()) return nullptr;
                Ref value = tvx::getattr(entry.get(), N.value);
                if (!value) return nullptr;
                module = module_of_value(S, value.get());
                if (!module) return nullptr;
            }
            Ref load = tvx::getattr(entry.get(), N.load);
            if (!load) return nullptr;
            Ref item = tvx::call(make.get(), {},
                                 {{N.name, name.get()}, {N.module_name, module.get()},
                                  {N.load, load.get()}});
            if (!item || PyList_Append(result.get(), item.get()) < 0) return nullptr;
        }
    }
    return PyObject_GetIter(result.get());
}

PyMethodDef own_iter_entry_points_def = {
    "iter_entry_points", TVX_FN(own_iter_entry_points), TVX_METHOD_FLAGS,
    "iter_entry_points(group)\n--\n\n"
    "Yield the entry points of the group, each with name, module_name and load()."};

// ---------------------------------------------------------------- class

const char* const kClassDoc =
    "Loads all plugin implementation,\n"
    "    provides API's for accessing plugins\n"
    "    ";

const char* const kPrintTreeDoc =
    "print_tree($self, /, data, output='plugin')\n--\n\n"
    "Prints the plugin list in tree structure and returns it as text.\n"
    "\n"
    "        plugin\n"
    "          |__ generic\n"
    "          |  |__ data\n"
    "          |    |__ single_rp\n"
    "          |      |__ cls = <class '...'>\n"
    "          |      |__ path = /path/to/plugin.py\n"
    "          |__ quilm\n"
    "            |__ data\n"
    "              |__ single_rp\n"
    "                |__ cls = <class '...'>\n"
    "                |__ path = /path/to/plugin.py\n"
    "        ";

// The methods of the class are method descriptors.  Each finds the state of
// its module through its class, as tvx::ClassStates describes: the class
// that defines it where the interpreter passes it, else the class of the
// instance.  The module is held for the call, so the state outlives it.  The
// static methods and the walk's callback are bound to the module object
// itself.
extern PyModuleDef module_def;
tvx::ClassStates<State, 1> g_states(&module_def);

using Method = PyObject* (*)(const State&, PyObject*, TVX_ARGS_DECL);

#ifdef TVX_DEFINING_CLASS
#define ROSTER_FLAGS (METH_METHOD | METH_FASTCALL | METH_KEYWORDS)
template <Method F>
PyObject* method_entry(PyObject* self, PyTypeObject* defining, PyObject* const* args,
                       size_t nargsf, PyObject* kwnames) {
    Ref hold;
    const State* state = g_states.find(defining, 0, true, &hold);
    if (!state) return nullptr;
    return F(*state, self, args, PyVectorcall_NARGS(nargsf), kwnames);
}
#else
#define ROSTER_FLAGS TVX_METHOD_FLAGS
template <Method F>
PyObject* method_entry(PyObject* self, TVX_ARGS_DECL) {
    Ref hold;
    const State* state = g_states.find(Py_TYPE(self), 0, false, &hold);
    if (!state) return nullptr;
    return F(*state, self, TVX_ARGS);
}
#endif

// The method definitions, in the order the class defines them.
enum MethodIndex {
    kInit, kPluginsGet, kPluginsSet, kValidateModel, kValidateSeries, kValidateOs,
    kValidateChassisType, kValidateArguments, kGetPlugin, kUnregisterPlugin, kRegisterPlugin,
    kPrintTree, kRepr, kMethodCount
};

PyMethodDef methods[kMethodCount] = {
    {"__init__", TVX_FN(method_entry<roster_init>), ROSTER_FLAGS,
     "__init__($self, /)\n--\n\nInitialize"},
    {"plugins", TVX_FN(method_entry<plugins_get>), ROSTER_FLAGS,
     "plugins($self, /)\n--\n\nPlugin list getter"},
    {"plugins", TVX_FN(method_entry<plugins_set>), ROSTER_FLAGS,
     "plugins($self, value, /)\n--\n\nPlugin list getter"},
    {"validate_model", TVX_FN(method_entry<validate_model>), ROSTER_FLAGS,
     "validate_model($self, /, os, series, model)\n--\n\nValidates Model"},
    {"validate_series", TVX_FN(method_entry<validate_series>), ROSTER_FLAGS,
     "validate_series($self, /, os, series)\n--\n\nValidates series"},
    {"validate_os", TVX_FN(method_entry<validate_os>), ROSTER_FLAGS,
     "validate_os($self, /, os)\n--\n\nValidates OS"},
    {"validate_chassis_type", TVX_FN(method_entry<validate_chassis_type>), ROSTER_FLAGS,
     "validate_chassis_type($self, /, chassis_type)\n--\n\nValidate chassis"},
    {"validate_arguments", TVX_FN(method_entry<validate_arguments>), ROSTER_FLAGS,
     "validate_arguments($self, /, os, series, model, chassis_type)\n--\n\n"
     "Validates the input arguments provided"},
    {"get_plugin", TVX_FN(method_entry<get_plugin>), ROSTER_FLAGS,
     "get_plugin($self, /, os=None, series=None, model=None, chassis_type='single_rp')\n--\n\n"
     "Returns the connection class based on the input details provided"},
    {"unregister_plugin", TVX_FN(method_entry<unregister_plugin>), ROSTER_FLAGS,
     "unregister_plugin($self, /, os=None, series=None, model=None, chassis_type=None)\n--\n\n"
     "\n"
     "        This method unregister a particular implementations from\n"
     "        the internal database\n"
     "        "},
    {"register_plugin", TVX_FN(method_entry<register_plugin>), ROSTER_FLAGS,
     "register_plugin($self, /, cls, os=None, series=None, model=None, "
     "chassis_type='single_rp')\n--\n\n"
     "Registers cls as the implementation for the os, series, model and chassis type"},
    {"print_tree", TVX_FN(method_entry<print_tree>), ROSTER_FLAGS, kPrintTreeDoc},
    {"__repr__", TVX_FN(method_entry<roster_repr>), ROSTER_FLAGS,
     "__repr__($self, /)\n--\n\nThe plugin tree under a heading naming the registry."},
};

PyCFunction own_print_tree_function(const State&) { return methods[kPrintTree].ml_meth; }

PyMethodDef static_methods[] = {
    {"discover_builtin_plugins", TVX_FN(discover_builtin_plugins), TVX_METHOD_FLAGS,
     "discover_builtin_plugins()\n--\n\nloads all plugins"},
    {"discover_external_plugins", TVX_FN(discover_external_plugins), TVX_METHOD_FLAGS,
     "discover_external_plugins()\n--\n\n"
     "\n"
     "        discover external plugins defined that users pip installed.\n"
     "        "},
};

Ref build_class(State& S, PyObject* module_name) {
    Ref bases = tvx::make_tuple({reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
    if (!bases) return Ref();
    Ref cls = tvx::make_class("ImplRoster", bases.get(), module_name, kClassDoc);
    if (!cls) return Ref();
    PyMethodDef* defs = methods;
    if (tvx::add_method(cls.get(), &defs[kInit]) < 0) return Ref();
    if (tvx::add_property(cls.get(), "plugins", &defs[kPluginsGet], &defs[kPluginsSet],
                          "Plugin list getter") < 0) {
        return Ref();
    }
    OwnMethods own;
    struct Step {
        MethodIndex index;
        Ref* keep;
    };
    const Step steps[] = {
        {kValidateModel, &own.validate_model}, {kValidateSeries, &own.validate_series},
        {kValidateOs, &own.validate_os}, {kValidateChassisType, &own.validate_chassis_type},
        {kValidateArguments, &own.validate_arguments}, {kGetPlugin, nullptr},
        {kUnregisterPlugin, nullptr}, {kRegisterPlugin, nullptr},
    };
    for (const Step& step : steps) {
        Ref unused;
        if (tvx::add_method(cls.get(), &defs[step.index], step.keep ? step.keep : &unused) < 0) {
            return Ref();
        }
    }
    for (PyMethodDef& def : static_methods) {
        if (tvx::add_static_method(cls.get(), &def, S.module, module_name) < 0) return Ref();
    }
    if (tvx::add_method(cls.get(), &defs[kPrintTree], &own.print_tree) < 0) return Ref();
    if (tvx::add_method(cls.get(), &defs[kRepr]) < 0) return Ref();
    if (tvx::hold_module(cls.get(), S.module) < 0) return Ref();
    S.own = own;
    S.cls = cls;
    return cls;
}

// ---------------------------------------------------------------- module

// import name / from name import names..., at the given level, as module
// code of this module does it.
Ref import_module_level(PyObject* name, PyObject* ns, PyObject* fromlist, int level) {
    return Ref(PyImport_ImportModuleLevelObject(name, ns, ns, fromlist, level));
}

// from <name> import <attr> (level 0 or relative), binding nothing.
Ref import_attr(PyObject* name, PyObject* attr, PyObject* ns, int level) {
    Ref fromlist = tvx::make_tuple({attr});
    if (!fromlist) return Ref();
    Ref module = import_module_level(name, ns, fromlist.get(), level);
    if (!module) return Ref();
    return tvx::import_from(module.get(), attr);
}

int bind(PyObject* ns, PyObject* name, const Ref& value) {
    if (!value) return -1;
    return PyDict_SetItem(ns, name, value.get());
}

// The demonstration, run when the module is initialised as __main__.
int run_demonstration(const Names& N, PyObject* ns, PyObject* module_name) {
    Ref roster = import_attr(N.tarvix, N.dunder_impl_roster, ns, 0);
    if (bind(ns, N.dunder_impl_roster, roster) < 0) return -1;
    Ref bases = tvx::make_tuple({reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
    if (!bases) return -1;
    Ref sample = tvx::make_class("Sample", bases.get(), module_name, "Sample implementation");
    if (bind(ns, N.Sample, sample) < 0) return -1;
    Ref done = tvx::call_method(roster.get(), N.register_plugin, {},
                                {{N.os, N.quilm}, {N.series, N.qb4}, {N.cls, sample.get()}});
    return done ? 0 : -1;
}

// The module's state: a State made by exec_module (null before).
State** state_slot(PyObject* module) { return static_cast<State**>(PyModule_GetState(module)); }

// Makes the module's State.
State* make_state(PyObject* module) {
    State** slot = state_slot(module);
    if (!slot) return nullptr;
    State* state = new (std::nothrow) State();
    if (!state) {
        PyErr_NoMemory();
        return nullptr;
    }
    state->module = module;
    *slot = state;
    return state;
}

int exec_module(PyObject* module) {
    State* state = make_state(module);
    if (!state) return -1;
    State& S = *state;
    const Names& N = S.N;
    if (init_names(S.N) < 0) return -1;
    Ref namespace_ref = Ref::borrow(PyModule_GetDict(module));
    if (!namespace_ref) return -1;
    PyObject* ns = namespace_ref.get();
    S.globals = ns;
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    const bool is_main = PyUnicode_CompareWithASCIIString(module_name.get(), "__main__") == 0;

    if (is_main) {
        // Run as the main program, the module still belongs to its package
        // (as `-m` would arrange), so that its relative import resolves.
        Ref package = Ref::borrow(PyDict_GetItemWithError(ns, N.dunder_package));
        if (!package && PyErr_Occurred()) return -1;
        int has_package = package ? tvx::truth(package.get()) : 0;
        if (has_package < 0) return -1;
        if (!has_package) {
            Ref home(PyUnicode_FromString(kHomePackage));
            if (bind(ns, N.dunder_package, home) < 0) return -1;
        }
    }
    S.onerror = Ref(PyCFunction_NewEx(&walk_onerror_def, module, nullptr));
    if (!S.onerror) return -1;

    if (bind(ns, N.os, import_module_level(N.os, ns, nullptr, 0)) < 0) return -1;
    if (bind(ns, N.pkgutil, import_module_level(N.pkgutil, ns, nullptr, 0)) < 0) return -1;
    if (bind(ns, N.importlib, import_module_level(N.importlib, ns, nullptr, 0)) < 0) return -1;
    if (bind(ns, N.log, import_attr(N.tarvix, N.log, ns, 0)) < 0) return -1;
    if (bind(ns, N.getfile, import_attr(N.inspect, N.getfile, ns, 0)) < 0) return -1;
    if (bind(ns, N.ConnectionInfraError, import_attr(N.errors, N.ConnectionInfraError, ns, 1)) < 0) {
        return -1;
    }
    Ref entry_points = import_attr(N.pkg_resources, N.iter_entry_points, ns, 0);
    if (!entry_points) {
        // Interpreters without pkg_resources (setuptools 82 and later, or no
        // setuptools at all) get the module's own query over importlib.metadata.
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return -1;
        PyErr_Clear();
        entry_points = Ref(PyCFunction_NewEx(&own_iter_entry_points_def, module,
                                             module_name.get()));
    }
    if (bind(ns, N.iter_entry_points, entry_points) < 0) return -1;
    if (bind(ns, N.ENTRYPOINT_GROUP, Ref::borrow(N.group_value)) < 0) return -1;
    if (bind(ns, N.ImplRoster, build_class(S, module_name.get())) < 0) return -1;

    if (is_main && run_demonstration(N, ns, module_name.get()) < 0) return -1;
    return 0;
}

// The state's references that can lead back to the module (the class, its
// descriptors, the callback bound to the module), for the cycle collector.
int traverse_module(PyObject* module, visitproc visit, void* arg) {
    State** slot = state_slot(module);
    if (!slot || !*slot) return 0;
    const State& S = **slot;
    for (const Ref* ref : {&S.own.validate_model, &S.own.validate_series, &S.own.validate_os,
                           &S.own.validate_chassis_type, &S.own.validate_arguments,
                           &S.own.print_tree, &S.cls, &S.onerror}) {
        if (ref->get()) {
            const int done = visit(ref->get(), arg);
            if (done) return done;
        }
    }
    return 0;
}

int clear_module(PyObject* module) {
    State** slot = state_slot(module);
    if (!slot || !*slot) return 0;
    State& S = **slot;
    g_states.forget(&S);
    S.own = OwnMethods();
    S.cls.reset();
    S.onerror.reset();
    S.globals = nullptr;  // the namespace is cleared with the module
    return 0;
}

void free_module(void* raw) {
    PyObject* module = static_cast<PyObject*>(raw);
    State** slot = state_slot(module);
    if (!slot) {
        PyErr_Clear();
        return;
    }
    State* state = *slot;
    if (!state) return;
    *slot = nullptr;
    g_states.forget(state);
    delete state;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

const char* const kModuleDoc =
    "tarvix.core.implroster\n"
    "\n"
    "    * Methods for identifying and loading plugin implementations\n"
    "    * Methods for validating and accessing platform implementation\n";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "implroster", kModuleDoc, sizeof(State*), nullptr, slots,
    traverse_module, clear_module, free_module,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_implroster(void) {
    return PyModuleDef_Init(&module_def);
}

// The same module initialised under the name "__main__" (the loader looks
// for PyInit___main__), which runs the demonstration block.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit___main__(void) {
    return PyModuleDef_Init(&module_def);
}
