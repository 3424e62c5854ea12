// tarvix.bases.routers.link_broker: the link brokers through which a router
// connection of the framework connects to and disconnects from a device with
// one route processor (BaseSingleRpLinkBroker) or two (BaseDualRpLinkBroker).
//
// The classes are ordinary Python classes made by type(); their methods are
// method descriptors.  Every step one method takes through another is
// self.<step>(): when the lookup would find the class's own descriptor the
// C++ implementation runs directly (tvx::call_own), otherwise whatever the
// lookup finds is called.  Calls into host objects look the method up as the
// interpreter's method call does (Method / lookup below) and pass the
// arguments without a tuple or dict where the interpreter allows it.
// Module-level names (re, sleep, Dialog, ConnectionError,
// DEFAULT_LEARNED_HOSTNAME) are read from the module's namespace when they
// are used.  Values are computed in the order the equivalent Python
// expression evaluates them: the method first, then its arguments left to
// right.

#include "pyclass.hpp"

#include <cstddef>
#include <cstring>
#include <utility>

namespace {

using tvx::Kw;
using tvx::Ref;

const char* const kModuleName = "tarvix.bases.routers.link_broker";

// ---------------------------------------------------------------- module state

// Strong references held for the life of the process.  They live on the heap
// and are never released: C++ static destructors run after the interpreter
// has been finalised, when a decref would touch freed memory.
// The module's namespace, read by load_global.
Ref& g_globals = *new Ref();
// The classes whose __init__ delegates to the next class in the MRO.
Ref& g_single_cls = *new Ref();
Ref& g_dual_cls = *new Ref();
// builtins.__debug__ when the module was executed: assertions are made only
// when it is true, as in byte code compiled by that interpreter.
bool g_assertions = true;
// The integer 2 handed to sleep.
Ref& g_two = *new Ref();

// ---------------------------------------------------------------- interned strings

struct Strings {
    // module-level names
    PyObject *re, *sleep, *Dialog, *log, *ConnectionError, *DEFAULT_LEARNED_HOSTNAME;
    // the broker's own attributes and steps
    PyObject *connection, *prompt_recovery, *init_exec_commands, *init_config_commands;
    PyObject *dunder_init, *get_connection_dialog, *set_init_commands, *execute_init_commands;
    PyObject *establish_connection, *init_handle, *designate_handles, *init_active;
    PyObject *init_standby, *unlock_standby, *assign_ha_mode;
    // members of the host objects
    PyObject *context, *pop, *get, *update, *info, *warning, *debug, *hostname, *mit;
    PyObject *spawn, *state_machine, *a, *b, *active, *standby, *learn_hostname;
    PyObject *learned_hostname, *get_learned_hostname, *connection_timeout, *settings;
    PyObject *HA_INIT_EXEC_COMMANDS, *HA_INIT_CONFIG_COMMANDS, *HA_STANDBY_UNLOCK_COMMANDS;
    PyObject *EXEC_TIMEOUT, *execute, *configure, *is_connected, *handles_designated;
    PyObject *close, *sendline, *expect, *match_output, *go_to, *current_state;
    PyObject *set_current_state, *get_state, *pattern, *role, *mode;
    PyObject *search, *IGNORECASE, *groups, *strip, *format;
    // keyword names
    PyObject *kw_timeout, *kw_dialog, *kw_target, *kw_to_state, *kw_cred_list;
    // context keys
    PyObject *login_creds;
    // state names and other values
    PyObject *st_any, *st_enable, *st_standby_locked, *st_generic;
    PyObject *rp_a, *rp_b, *role_active, *role_standby;
    // device commands and patterns
    PyObject *cmd_redundancy_stat, *cmd_redundancy_state, *pat_redundancy_mode;
    PyObject *cfg_redundancy, *cfg_main_cpu, *cfg_no_standby_console;
    // messages and log texts
    PyObject *msg_not_a_list, *msg_designate, *msg_ha_mode;
    PyObject *log_connection_to, *log_init_handle, *log_dual_connection_to;
    PyObject *log_designating, *log_init_active, *log_unlocking, *log_init_standby;
    PyObject *log_assigning, *log_both_unlocked, *log_mode_is;
    PyObject *warn_single_default, *warn_dual_default;
};

Strings S;

struct StringEntry {
    PyObject** slot;
    const char* text;
};

int intern_strings() {
    const StringEntry table[] = {
        {&S.re, "re"},
        {&S.sleep, "sleep"},
        {&S.Dialog, "Dialog"},
        {&S.log, "log"},
        {&S.ConnectionError, "ConnectionError"},
        {&S.DEFAULT_LEARNED_HOSTNAME, "DEFAULT_LEARNED_HOSTNAME"},
        {&S.connection, "connection"},
        {&S.prompt_recovery, "prompt_recovery"},
        {&S.init_exec_commands, "init_exec_commands"},
        {&S.init_config_commands, "init_config_commands"},
        {&S.dunder_init, "__init__"},
        {&S.get_connection_dialog, "get_connection_dialog"},
        {&S.set_init_commands, "set_init_commands"},
        {&S.execute_init_commands, "execute_init_commands"},
        {&S.establish_connection, "establish_connection"},
        {&S.init_handle, "init_handle"},
        {&S.designate_handles, "designate_handles"},
        {&S.init_active, "init_active"},
        {&S.init_standby, "init_standby"},
        {&S.unlock_standby, "unlock_standby"},
        {&S.assign_ha_mode, "assign_ha_mode"},
        {&S.context, "context"},
        {&S.pop, "pop"},
        {&S.get, "get"},
        {&S.update, "update"},
        {&S.info, "info"},
        {&S.warning, "warning"},
        {&S.debug, "debug"},
        {&S.hostname, "hostname"},
        {&S.mit, "mit"},
        {&S.spawn, "spawn"},
        {&S.state_machine, "state_machine"},
        {&S.a, "a"},
        {&S.b, "b"},
        {&S.active, "active"},
        {&S.standby, "standby"},
        {&S.learn_hostname, "learn_hostname"},
        {&S.learned_hostname, "learned_hostname"},
        {&S.get_learned_hostname, "_get_learned_hostname"},
        {&S.connection_timeout, "connection_timeout"},
        {&S.settings, "settings"},
        {&S.HA_INIT_EXEC_COMMANDS, "HA_INIT_EXEC_COMMANDS"},
        {&S.HA_INIT_CONFIG_COMMANDS, "HA_INIT_CONFIG_COMMANDS"},
        {&S.HA_STANDBY_UNLOCK_COMMANDS, "HA_STANDBY_UNLOCK_COMMANDS"},
        {&S.EXEC_TIMEOUT, "EXEC_TIMEOUT"},
        {&S.execute, "execute"},
        {&S.configure, "configure"},
        {&S.is_connected, "_is_connected"},
        {&S.handles_designated, "_handles_designated"},
        {&S.close, "close"},
        {&S.sendline, "sendline"},
        {&S.expect, "expect"},
        {&S.match_output, "match_output"},
        {&S.go_to, "go_to"},
        {&S.current_state, "current_state"},
        {&S.set_current_state, "_current_state"},
        {&S.get_state, "get_state"},
        {&S.pattern, "pattern"},
        {&S.role, "role"},
        {&S.mode, "mode"},
        {&S.search, "search"},
        {&S.IGNORECASE, "IGNORECASE"},
        {&S.groups, "groups"},
        {&S.strip, "strip"},
        {&S.format, "format"},
        {&S.kw_timeout, "timeout"},
        {&S.kw_dialog, "dialog"},
        {&S.kw_target, "target"},
        {&S.kw_to_state, "to_state"},
        {&S.kw_cred_list, "cred_list"},
        {&S.login_creds, "login_creds"},
        {&S.st_any, "any"},
        {&S.st_enable, "enable"},
        {&S.st_standby_locked, "standby_locked"},
        {&S.st_generic, "generic"},
        {&S.rp_a, "a"},
        {&S.rp_b, "b"},
        {&S.role_active, "active"},
        {&S.role_standby, "standby"},
        {&S.cmd_redundancy_stat, "sh redundancy stat | inc my state"},
        {&S.cmd_redundancy_state, "sh redundancy state"},
        {&S.pat_redundancy_mode, "[Rr]edundancy\\s+[Ss]tate\\s+=\\s+(.*)"},
        {&S.cfg_redundancy, "redundancy"},
        {&S.cfg_main_cpu, "main-cpu"},
        {&S.cfg_no_standby_console, "no standby console enable"},
        {&S.msg_not_a_list, "Init commands must be a list"},
        {&S.msg_designate, "unable to designate handles"},
        {&S.msg_ha_mode, "unable to determine redundancy mode"},
        {&S.log_connection_to, "connection to %s"},
        {&S.log_init_handle, "+++ initializing handle +++"},
        {&S.log_dual_connection_to, "+++ connection to %s +++"},
        {&S.log_designating, "+++ designating handles +++"},
        {&S.log_init_active, "+++ initializing active handle +++"},
        {&S.log_unlocking, "+++ unlocking standby +++"},
        {&S.log_init_standby, "+++ initializing standby handle +++"},
        {&S.log_assigning, "+++ assigning ha mode +++"},
        {&S.log_both_unlocked, "both the rp's are unlocked"},
        {&S.log_mode_is, "redundancy mode is %s"},
        {&S.warn_single_default,
         "Using the default hostname pattern {}. This may lead to unstable behavior."},
        {&S.warn_dual_default,
         "Failed to learn the hostname.  Using the default hostname pattern {}. "
         "This may lead to unstable behavior."},
    };
    for (const StringEntry& entry : table) {
        if (*entry.slot) continue;  // kept from an earlier execution of the module
        *entry.slot = tvx::intern(entry.text);
        if (!*entry.slot) return -1;
    }
    return 0;
}

// ---------------------------------------------------------------- the class's own steps

// The method descriptors made for the classes, one per (class, method): a
// step taken through self.<name> runs its C++ implementation directly only
// while the lookup would find exactly the descriptor of the class whose
// method is taking the step (tvx::call_own).
Ref& d_get_connection_dialog = *new Ref();
Ref& d_set_init_commands = *new Ref();
Ref& d_execute_init_commands = *new Ref();
Ref& d_single_establish_connection = *new Ref();
Ref& d_single_init_handle = *new Ref();
Ref& d_dual_establish_connection = *new Ref();
Ref& d_dual_designate_handles = *new Ref();
Ref& d_dual_init_active = *new Ref();
Ref& d_dual_unlock_standby = *new Ref();
Ref& d_dual_init_standby = *new Ref();
Ref& d_dual_assign_ha_mode = *new Ref();

// ---------------------------------------------------------------- the broker's attributes

// self.name for the broker's own attributes (connection, prompt_recovery,
// the command lists).  When the broker's type takes the generic attribute
// lookup and has no attribute of that name anywhere in its MRO, the generic
// lookup's answer is the instance __dict__'s entry (or AttributeError), and
// that entry is read directly.  That the type has no such attribute is
// remembered under the type's version tag, which the interpreter renews
// whenever the type or one of its bases changes.  (The broker's __dict__ is
// the one tvx::is_own_method looks into as well.)  Otherwise, and for a
// missing entry, the plain lookup.
#ifndef Py_LIMITED_API
struct NoTypeAttribute {
    PyTypeObject* type;
    PyObject* name;
    unsigned int version;
};

NoTypeAttribute g_no_type_attribute[64];

bool valid_version(PyTypeObject* type) {
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag != 0;
}
#endif

Ref self_attr(PyObject* self, PyObject* name) {
#ifndef Py_LIMITED_API
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_getattro == PyObject_GenericGetAttr) {
        const std::size_t h = (reinterpret_cast<std::size_t>(type) >> 4) * 7u ^
                              (reinterpret_cast<std::size_t>(name) >> 4);
        NoTypeAttribute& slot = g_no_type_attribute[h & 63u];
        bool absent = slot.type == type && slot.name == name && valid_version(type) &&
                      slot.version == type->tp_version_tag;
        if (!absent && _PyType_Lookup(type, name) == nullptr && !PyErr_Occurred() &&
            valid_version(type)) {  // _PyType_Lookup runs no Python code
            slot.type = type;
            slot.name = name;
            slot.version = type->tp_version_tag;
            absent = true;
        }
        if (absent) {
            PyObject** dictptr = _PyObject_GetDictPtr(self);
            if (dictptr && *dictptr) {
                Ref dict = Ref::borrow(*dictptr);
                PyObject* found = PyDict_GetItemWithError(dict.get(), name);
                if (found) return Ref::borrow(found);
                if (PyErr_Occurred()) return Ref();
            }
        }
    }
#endif
    return tvx::getattr(self, name);
}

// ---------------------------------------------------------------- host calls

// A method of a host object as the interpreter's method call obj.name(...)
// finds it.  When type(obj) uses the generic attribute lookup, the type's
// attribute is a plain function or method descriptor and the instance
// __dict__ does not hold the name, the function is kept together with obj,
// to be called with obj as its first argument: what calling the bound method
// does, without making one.  Otherwise it is the attribute itself.
struct Method {
    Ref fn;
    Ref self;  // empty: fn is called as it is
    explicit operator bool() const noexcept { return static_cast<bool>(fn); }
};

#ifndef Py_LIMITED_API
bool binds_as_method(PyObject* descr) {
#if PY_VERSION_HEX >= 0x03080000
    return PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR);
#else
    return PyFunction_Check(descr) || Py_TYPE(descr) == &PyMethodDescr_Type;
#endif
}
#endif

// obj.name as a method to call; empty with the error set on failure (or when
// obj is empty, passing on an earlier failure).
Method lookup(PyObject* obj, PyObject* name) {
    Method m;
    if (!obj) return m;
#ifndef Py_LIMITED_API
    PyTypeObject* type = Py_TYPE(obj);
#if PY_VERSION_HEX >= 0x030B0000
    // An instance whose attributes the interpreter keeps inline would have
    // them copied into a dict by _PyObject_GetDictPtr, and its own code
    // would run slower afterwards: it takes the plain attribute read.
    const bool inline_values = PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT);
#else
    const bool inline_values = false;
#endif
    if (!inline_values && type->tp_getattro == PyObject_GenericGetAttr) {
        PyObject* descr = _PyType_Lookup(type, name);  // borrowed; runs no Python code
        if (descr && binds_as_method(descr)) {
            Ref function = Ref::borrow(descr);
            PyObject** dictptr = _PyObject_GetDictPtr(obj);
            if (dictptr && *dictptr) {
                Ref dict = Ref::borrow(*dictptr);
                PyObject* found = PyDict_GetItemWithError(dict.get(), name);
                if (found) {
                    m.fn = Ref::borrow(found);
                    return m;
                }
                if (PyErr_Occurred()) return m;
            }
            m.fn = std::move(function);
            m.self = Ref::borrow(obj);
            return m;
        }
    }
#endif
    m.fn = tvx::getattr(obj, name);
    return m;
}

Method lookup(const Ref& obj, PyObject* name) { return lookup(obj.get(), name); }

// m(*pos, **kw), keywords in the order given; an empty value among the
// arguments passes on the failure that computing it met.
Ref invoke(const Method& m, std::initializer_list<PyObject*> pos = {},
           std::initializer_list<Kw> kw = {}) {
    if (!m.fn) return Ref();
    for (PyObject* item : pos) {
        if (!item) return Ref();
    }
    for (const Kw& k : kw) {
        if (!k.value) return Ref();
    }
    PyObject* stack[12];
    if (pos.size() + kw.size() + 2 > sizeof stack / sizeof stack[0]) {
        PyErr_SetString(PyExc_SystemError, "link_broker: too many arguments for a host call");
        return Ref();
    }
    std::size_t n = 1;  // slot 0 stays free for the callee
    if (m.self) stack[n++] = m.self.get();
    for (PyObject* item : pos) stack[n++] = item;
    const std::size_t npos = n - 1;
    for (const Kw& k : kw) stack[n++] = k.value;
#if defined(TVX_VECTORCALL)
    PyObject* kwnames = nullptr;
    if (kw.size() != 0) {
        kwnames = tvx::kwnames_for(kw);
        if (!kwnames && PyErr_Occurred()) return Ref();
    }
    if (kwnames || kw.size() == 0) {
        return Ref(PyObject_Vectorcall(m.fn.get(), stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       kwnames));
    }
#endif
    Ref kwargs;
    if (kw.size() != 0) {
        kwargs = tvx::make_kwargs(kw);
        if (!kwargs) return Ref();
    }
#if !defined(Py_LIMITED_API) && !defined(TVX_VECTORCALL)
    return Ref(_PyObject_FastCallDict(m.fn.get(), stack + 1, static_cast<Py_ssize_t>(npos),
                                      kwargs.get()));
#else
    Ref args(PyTuple_New(static_cast<Py_ssize_t>(npos)));
    if (!args) return Ref();
    for (std::size_t i = 0; i < npos; ++i) {
        Py_INCREF(stack[i + 1]);
        if (PyTuple_SetItem(args.get(), static_cast<Py_ssize_t>(i), stack[i + 1]) < 0)
            return Ref();  // steals
    }
    return Ref(PyObject_Call(m.fn.get(), args.get(), kwargs.get()));
#endif
}

// obj.name(*pos, **kw) where every argument is a value already at hand, so
// that looking the method up after them is the same as before them.  Where
// the interpreter has it, lookup and call are one vectorcall.
Ref mcall(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> pos = {},
          std::initializer_list<Kw> kw = {}) {
#ifdef TVX_VECTORCALL
    return tvx::call_method(obj, name, pos, kw);
#else
    return invoke(lookup(obj, name), pos, kw);
#endif
}

Ref mcall(const Ref& obj, PyObject* name, std::initializer_list<PyObject*> pos = {},
          std::initializer_list<Kw> kw = {}) {
    return mcall(obj.get(), name, pos, kw);
}

// ---------------------------------------------------------------- small helpers

// obj.name, passing on an earlier failure (empty obj).
Ref attr(const Ref& obj, PyObject* name) {
    if (!obj) return Ref();
    return tvx::getattr(obj.get(), name);
}

// A module-level name at the time of use.
Ref global(PyObject* name) { return tvx::load_global(g_globals.get(), name); }

// fmt % arg for a str fmt: str's own formatting, unless arg is of a str
// subclass (whose reflected operator the % operator would ask first).
Ref percent(PyObject* fmt, PyObject* arg) {
    if (!arg) return Ref();
    if (PyUnicode_CheckExact(arg) || !PyUnicode_Check(arg)) return Ref(PyUnicode_Format(fmt, arg));
    return tvx::percent(fmt, arg);
}

// con.log.<level>(message): the method is looked up before `make` builds the
// message, as the Python expression evaluates them.
template <class Make>
bool log_line(PyObject* con, PyObject* level, Make make) {
    Ref log = tvx::getattr(con, S.log);
    if (!log) return false;
    Method fn = lookup(log, level);
    if (!fn) return false;
    Ref message = make();
    if (!message) return false;
    return static_cast<bool>(invoke(fn, {message.get()}));
}

bool log_text(PyObject* con, PyObject* level, PyObject* text) {
    Ref log = tvx::getattr(con, S.log);
    if (!log) return false;
    return static_cast<bool>(mcall(log, level, {text}));
}

// Sets obj.name = value; false on failure.
bool set(const Ref& obj, PyObject* name, PyObject* value) {
    if (!obj || !value) return false;
    return tvx::setattr(obj.get(), name, value) == 0;
}

// isinstance(obj, list) as the builtin evaluates it.
int is_list_instance(PyObject* obj) {
    if (PyList_CheckExact(obj)) return 1;
    return PyObject_IsInstance(obj, reinterpret_cast<PyObject*>(&PyList_Type));
}

// assert isinstance(self.<name>, list), "Init commands must be a list"
bool assert_list_attribute(PyObject* self, PyObject* name) {
    Ref value = self_attr(self, name);
    if (!value) return false;
    int ok = is_list_instance(value.get());
    if (ok < 0) return false;
    if (!ok) {
        tvx::raise_with(PyExc_AssertionError, S.msg_not_a_list);
        return false;
    }
    return true;
}

// re.search(pattern, text) or re.search(pattern, text, re.IGNORECASE), with
// the module-level `re` read at each use.
Ref re_search(PyObject* pattern, PyObject* text, bool ignore_case) {
    Ref re = global(S.re);
    if (!re) return Ref();
    Method search = lookup(re, S.search);
    if (!search) return Ref();
    if (!ignore_case) return invoke(search, {pattern, text});
    Ref re_again = global(S.re);
    Ref flag = attr(re_again, S.IGNORECASE);
    if (!flag) return Ref();
    return invoke(search, {pattern, text, flag.get()});
}

// raise ConnectionError(message) with the module-level ConnectionError.
PyObject* raise_connection_error(PyObject* message) {
    Ref error_class = global(S.ConnectionError);
    if (!error_class) return nullptr;
    return tvx::raise_with(error_class.get(), message);
}

// learn_hostname = con.learn_hostname and not con.learned_hostname
// (the false value of con.learn_hostname itself when that is false).
Ref learn_decision(PyObject* con) {
    Ref wanted = tvx::getattr(con, S.learn_hostname);
    if (!wanted) return Ref();
    int truth = tvx::truth(wanted.get());
    if (truth < 0) return Ref();
    if (!truth) return wanted;
    Ref learned = tvx::getattr(con, S.learned_hostname);
    if (!learned) return Ref();
    int have = tvx::truth(learned.get());
    if (have < 0) return Ref();
    return tvx::boolean(!have);
}

// context.update(cred_list=context.get("login_creds"))
bool set_cred_list(PyObject* context) {
    Method update = lookup(context, S.update);
    if (!update) return false;
    Ref creds = mcall(context, S.get, {S.login_creds});
    if (!creds) return false;
    return static_cast<bool>(invoke(update, {}, {Kw{S.kw_cred_list, creds.get()}}));
}

Ref common_get_connection_dialog_impl(PyObject* self);

// self.get_connection_dialog()
Ref connection_dialog(PyObject* self) {
    return tvx::call_own(self, S.get_connection_dialog, d_get_connection_dialog.get(),
                         [self] { return common_get_connection_dialog_impl(self); });
}

// handle.state_machine.go_to(state, handle.spawn, context=<context>,
//     prompt_recovery=self.prompt_recovery, timeout=con.connection_timeout
//     [, dialog=self.get_connection_dialog()])
// where handle is what `handle_of` returns each time it is asked (the
// connection itself for a single RP).  A null context means con.context.
template <class HandleOf>
Ref go_to_state(PyObject* self, PyObject* con, HandleOf handle_of, PyObject* state,
                PyObject* context, bool with_dialog) {
    Method go_to = lookup(attr(handle_of(), S.state_machine), S.go_to);
    if (!go_to) return Ref();
    Ref spawn = attr(handle_of(), S.spawn);
    if (!spawn) return Ref();
    Ref ctx = context ? Ref::borrow(context) : tvx::getattr(con, S.context);
    if (!ctx) return Ref();
    Ref prompt_recovery = self_attr(self, S.prompt_recovery);
    if (!prompt_recovery) return Ref();
    Ref timeout = tvx::getattr(con, S.connection_timeout);
    if (!timeout) return Ref();
    if (!with_dialog) {
        return invoke(go_to, {state, spawn.get()},
                      {Kw{S.context, ctx.get()}, Kw{S.prompt_recovery, prompt_recovery.get()},
                       Kw{S.kw_timeout, timeout.get()}});
    }
    Ref dialog = connection_dialog(self);
    if (!dialog) return Ref();
    return invoke(go_to, {state, spawn.get()},
                  {Kw{S.context, ctx.get()}, Kw{S.prompt_recovery, prompt_recovery.get()},
                   Kw{S.kw_timeout, timeout.get()}, Kw{S.kw_dialog, dialog.get()}});
}

// handle.state_machine.learn_hostname = value
bool set_learn_flag(const Ref& handle, PyObject* value) {
    return set(attr(handle, S.state_machine), S.learn_hostname, value);
}

// The method-resolution successor's __init__(connection) of `cls` for self:
// super(cls, self).__init__(connection).
PyObject* init_next_in_mro(PyObject* cls, PyObject* self, PyObject* connection) {
    if (!cls) {
        PyErr_SetString(PyExc_SystemError, "link_broker module is not initialised");
        return nullptr;
    }
    Ref proxy = tvx::call(reinterpret_cast<PyObject*>(&PySuper_Type), {cls, self});
    if (!proxy) return nullptr;
    Ref result = tvx::call_method(proxy.get(), S.dunder_init, {connection});
    if (!result) return nullptr;
    return result.release();
}

PyObject* parse_connection(const char* fname, TVX_ARGS_DECL, Ref* out) {
    PyObject* const names[] = {S.connection};
    if (!tvx::parse_args(fname, TVX_ARGS, names, 1, 1, out)) return nullptr;
    return out[0].get();
}

// The entry point of a method without parameters: refuses arguments, then
// runs the implementation.
#define NO_ARGS_ENTRY(entry, fname, impl)                                \
    PyObject* entry(PyObject* self, TVX_ARGS_DECL) {                     \
        if (!tvx::no_args(fname, TVX_ARGS)) return nullptr;              \
        return impl(self).release();                                     \
    }

// A step with a C++ implementation: self.<name>() through call_own.
#define OWN_STEP(self, name, descr, impl) \
    tvx::call_own(self, name, (descr).get(), [self] { return impl(self); })

// ================================================================ BaseCommonRpLinkBroker

PyObject* common_init(PyObject* self, TVX_ARGS_DECL) {
    Ref parsed[1];
    PyObject* connection = parse_connection("__init__", TVX_ARGS, parsed);
    if (!connection) return nullptr;
    if (tvx::setattr(self, S.connection, connection) < 0) return nullptr;
    Ref flag = mcall(tvx::getattr(connection, S.context), S.pop, {S.prompt_recovery, Py_False});
    if (!flag) return nullptr;
    if (tvx::setattr(self, S.prompt_recovery, flag.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

Ref common_get_connection_dialog_impl(PyObject* /*self*/) {
    Ref dialog_class = global(S.Dialog);
    if (!dialog_class) return Ref();
    Ref statements(PyList_New(0));
    if (!statements) return Ref();
    return tvx::call(dialog_class.get(), {statements.get()});
}

NO_ARGS_ENTRY(common_get_connection_dialog, "get_connection_dialog",
              common_get_connection_dialog_impl)

// self.<target> = con.<own> if it is not None, else settings.<key> if the
// settings object has that attribute (any error of the read counting as
// absence), else [].
bool choose_commands(PyObject* self, PyObject* con, PyObject* own, PyObject* key,
                     PyObject* target) {
    Ref value = tvx::getattr(con, own);
    if (!value) return false;
    if (value.get() == Py_None) {
        Ref settings = tvx::getattr(con, S.settings);
        if (!settings) return false;
        if (tvx::has_attribute_forgiving(settings.get(), key)) {
            value = tvx::getattr(settings.get(), key);
        } else {
            value = Ref(PyList_New(0));
        }
        if (!value) return false;
    }
    return tvx::setattr(self, target, value.get()) == 0;
}

Ref common_set_init_commands_impl(PyObject* self) {
    Ref con = self_attr(self, S.connection);
    if (!con) return Ref();
    if (!choose_commands(self, con.get(), S.init_exec_commands, S.HA_INIT_EXEC_COMMANDS,
                         S.init_exec_commands))
        return Ref();
    if (!choose_commands(self, con.get(), S.init_config_commands, S.HA_INIT_CONFIG_COMMANDS,
                         S.init_config_commands))
        return Ref();
    return tvx::none();
}

NO_ARGS_ENTRY(common_set_init_commands, "set_init_commands", common_set_init_commands_impl)

// execute_init_commands(self, standby); `standby` is the value bound to the
// parameter.
Ref common_execute_init_commands_impl(PyObject* self, PyObject* standby) {
    if (!OWN_STEP(self, S.set_init_commands, d_set_init_commands, common_set_init_commands_impl))
        return Ref();
    if (g_assertions) {
        if (!assert_list_attribute(self, S.init_exec_commands)) return Ref();
        if (!assert_list_attribute(self, S.init_config_commands)) return Ref();
    }
    Ref con = self_attr(self, S.connection);
    if (!con) return Ref();

    Ref exec_commands = self_attr(self, S.init_exec_commands);
    if (!exec_commands) return Ref();
    Ref iterator(PyObject_GetIter(exec_commands.get()));
    if (!iterator) return Ref();
    for (;;) {
        Ref command(PyIter_Next(iterator.get()));
        if (!command) {
            if (PyErr_Occurred()) return Ref();
            break;
        }
        Method execute = lookup(con, S.execute);
        if (!execute) return Ref();
        Ref prompt_recovery = self_attr(self, S.prompt_recovery);
        if (!prompt_recovery) return Ref();
        if (!invoke(execute, {command.get()}, {Kw{S.prompt_recovery, prompt_recovery.get()}}))
            return Ref();
    }

    int on_standby = tvx::truth(standby);
    if (on_standby < 0) return Ref();
    if (on_standby) return tvx::none();
    Ref config_commands = self_attr(self, S.init_config_commands);
    if (!config_commands) return Ref();
    Py_ssize_t length = PyObject_Size(config_commands.get());
    if (length < 0) return Ref();
    if (length == 0) return tvx::none();
    Method configure = lookup(con, S.configure);
    if (!configure) return Ref();
    Ref lines = self_attr(self, S.init_config_commands);
    if (!lines) return Ref();
    Ref prompt_recovery = self_attr(self, S.prompt_recovery);
    if (!prompt_recovery) return Ref();
    if (!invoke(configure, {lines.get()}, {Kw{S.prompt_recovery, prompt_recovery.get()}}))
        return Ref();
    return tvx::none();
}

PyObject* common_execute_init_commands(PyObject* self, TVX_ARGS_DECL) {
    PyObject* const names[] = {S.standby};
    Ref parsed[1];
    if (!tvx::parse_args("execute_init_commands", TVX_ARGS, names, 1, 0, parsed)) return nullptr;
    return common_execute_init_commands_impl(self, parsed[0] ? parsed[0].get() : Py_False)
        .release();
}

// self.execute_init_commands() / self.execute_init_commands(standby=True)
Ref init_commands_step(PyObject* self, bool standby) {
    if (!standby) {
        return tvx::call_own(self, S.execute_init_commands, d_execute_init_commands.get(),
                             [self] { return common_execute_init_commands_impl(self, Py_False); });
    }
    return tvx::call_own(
        self, S.execute_init_commands, d_execute_init_commands.get(),
        [self] { return common_execute_init_commands_impl(self, Py_True); }, {},
        {Kw{S.standby, Py_True}});
}

// ================================================================ BaseSingleRpLinkBroker

PyObject* single_init(PyObject* self, TVX_ARGS_DECL) {
    Ref parsed[1];
    PyObject* connection = parse_connection("__init__", TVX_ARGS, parsed);
    if (!connection) return nullptr;
    return init_next_in_mro(g_single_cls.get(), self, connection);
}

Ref single_establish_connection_impl(PyObject* self);
Ref single_init_handle_impl(PyObject* self);

Ref single_connect_impl(PyObject* self) {
    Ref con = self_attr(self, S.connection);
    if (!con) return Ref();
    PyObject* c = con.get();
    if (!log_line(c, S.info, [c] {
            Ref hostname = tvx::getattr(c, S.hostname);
            return percent(S.log_connection_to, hostname.get());
        }))
        return Ref();
    Ref result = OWN_STEP(self, S.establish_connection, d_single_establish_connection,
                          single_establish_connection_impl);
    if (!result) return Ref();
    Ref mit = tvx::getattr(c, S.mit);
    if (!mit) return Ref();
    int skip = tvx::truth(mit.get());
    if (skip < 0) return Ref();
    if (!skip) {
        if (!log_text(c, S.info, S.log_init_handle)) return Ref();
        if (!OWN_STEP(self, S.init_handle, d_single_init_handle, single_init_handle_impl))
            return Ref();
    }
    Ref flag = mcall(tvx::getattr(c, S.context), S.pop, {S.prompt_recovery, Py_False});
    if (!flag) return Ref();
    if (tvx::setattr(self, S.prompt_recovery, flag.get()) < 0) return Ref();
    return result;
}

NO_ARGS_ENTRY(single_connect, "connect", single_connect_impl)

Ref single_establish_connection_impl(PyObject* self) {
    Ref con = self_attr(self, S.connection);
    if (!con) return Ref();
    PyObject* c = con.get();
    Ref learn = learn_decision(c);
    if (!learn) return Ref();
    int learning = tvx::truth(learn.get());
    if (learning < 0) return Ref();
    if (learning && !set(tvx::getattr(c, S.state_machine), S.learn_hostname, Py_True))
        return Ref();

    Ref context = tvx::getattr(c, S.context);
    if (!context) return Ref();
    if (!set_cred_list(context.get())) return Ref();
    Ref result = go_to_state(
        self, c, [c] { return Ref::borrow(c); }, S.st_any, context.get(), true);
    if (!result) return Ref();
    if (!mcall(context, S.pop, {S.kw_cred_list, Py_None})) return Ref();

    learning = tvx::truth(learn.get());
    if (learning < 0) return Ref();
    if (learning) {
        Method get_name = lookup(c, S.get_learned_hostname);
        if (!get_name) return Ref();
        Ref spawn = tvx::getattr(c, S.spawn);
        if (!spawn) return Ref();
        Ref learned = invoke(get_name, {spawn.get()});
        if (!learned) return Ref();
        Ref fallback = global(S.DEFAULT_LEARNED_HOSTNAME);
        if (!fallback) return Ref();
        int is_default = tvx::equal(learned.get(), fallback.get());
        if (is_default < 0) return Ref();
        if (is_default && !log_line(c, S.warning, [] {
                Ref pattern = global(S.DEFAULT_LEARNED_HOSTNAME);
                if (!pattern) return Ref();
                return tvx::call_method(S.warn_single_default, S.format, {pattern.get()});
            }))
            return Ref();
        if (tvx::setattr(c, S.learned_hostname, learned.get()) < 0) return Ref();
        if (!set(tvx::getattr(c, S.state_machine), S.learn_hostname, Py_False)) return Ref();
    }
    return result;
}

NO_ARGS_ENTRY(single_establish_connection, "establish_connection",
              single_establish_connection_impl)

Ref single_init_handle_impl(PyObject* self) {
    Ref con = self_attr(self, S.connection);
    if (!con) return Ref();
    PyObject* c = con.get();
    if (tvx::setattr(c, S.is_connected, Py_True) < 0) return Ref();
    if (!go_to_state(
            self, c, [c] { return Ref::borrow(c); }, S.st_enable, nullptr, false))
        return Ref();
    if (!init_commands_step(self, false)) return Ref();
    return tvx::none();
}

NO_ARGS_ENTRY(single_init_handle, "init_handle", single_init_handle_impl)

// sleep(2) with the module-level sleep.
bool wait_two_seconds() {
    Ref sleep = global(S.sleep);
    if (!sleep) return false;
    return static_cast<bool>(tvx::call(sleep.get(), {g_two.get()}));
}

Ref single_disconnect_impl(PyObject* self) {
    Ref spawn = attr(self_attr(self, S.connection), S.spawn);
    if (!spawn) return Ref();
    if (!mcall(spawn, S.close)) return Ref();
    if (!wait_two_seconds()) return Ref();
    if (!set(self_attr(self, S.connection), S.is_connected, Py_False)) return Ref();
    return tvx::none();
}

NO_ARGS_ENTRY(single_disconnect, "disconnect", single_disconnect_impl)

// ================================================================ BaseDualRpLinkBroker

PyObject* dual_init(PyObject* self, TVX_ARGS_DECL) {
    Ref parsed[1];
    PyObject* connection = parse_connection("__init__", TVX_ARGS, parsed);
    if (!connection) return nullptr;
    return init_next_in_mro(g_dual_cls.get(), self, connection);
}

// self.connection.<rp>.spawn
Ref rp_spawn(PyObject* self, PyObject* rp) {
    return attr(attr(self_attr(self, S.connection), rp), S.spawn);
}

Ref dual_establish_connection_impl(PyObject* self);
Ref dual_designate_handles_impl(PyObject* self);
Ref dual_init_active_impl(PyObject* self);
Ref dual_unlock_standby_impl(PyObject* self);
Ref dual_init_standby_impl(PyObject* self);
Ref dual_assign_ha_mode_impl(PyObject* self);

Ref dual_connect_impl(PyObject* self) {
    Ref con = self_attr(self, S.connection);
    if (!con) return Ref();
    PyObject* c = con.get();
    for (PyObject* rp : {S.a, S.b}) {
        if (!log_line(c, S.info, [self, rp] {
                Ref spawn = rp_spawn(self, rp);
                if (!spawn) return Ref();
                Ref text = tvx::str(spawn.get());
                return percent(S.log_dual_connection_to, text.get());
            }))
            return Ref();
    }
    if (!OWN_STEP(self, S.establish_connection, d_dual_establish_connection,
                  dual_establish_connection_impl))
        return Ref();
    if (tvx::setattr(c, S.is_connected, Py_True) < 0) return Ref();
    Ref mit = tvx::getattr(c, S.mit);
    if (!mit) return Ref();
    int skip = tvx::truth(mit.get());
    if (skip < 0) return Ref();
    if (!skip) {
        const struct {
            PyObject* line;
            PyObject* step;
            Ref& descr;
            Ref (*impl)(PyObject*);
        } stages[] = {
            {S.log_designating, S.designate_handles, d_dual_designate_handles,
             dual_designate_handles_impl},
            {S.log_init_active, S.init_active, d_dual_init_active, dual_init_active_impl},
            {S.log_unlocking, S.unlock_standby, d_dual_unlock_standby, dual_unlock_standby_impl},
            {S.log_init_standby, S.init_standby, d_dual_init_standby, dual_init_standby_impl},
            {S.log_assigning, S.assign_ha_mode, d_dual_assign_ha_mode, dual_assign_ha_mode_impl},
        };
        for (const auto& stage : stages) {
            if (!log_text(c, S.info, stage.line)) return Ref();
            if (!tvx::call_own(self, stage.step, stage.descr.get(),
                               [self, &stage] { return stage.impl(self); }))
                return Ref();
        }
    }
    if (!mcall(tvx::getattr(c, S.context), S.pop, {S.prompt_recovery, Py_None})) return Ref();
    return tvx::none();
}

NO_ARGS_ENTRY(dual_connect, "connect", dual_connect_impl)

Ref dual_establish_connection_impl(PyObject* self) {
    Ref con = self_attr(self, S.connection);
    if (!con) return Ref();
    PyObject* c = con.get();
    Ref learn = learn_decision(c);
    if (!learn) return Ref();
    int learning = tvx::truth(learn.get());
    if (learning < 0) return Ref();
    if (learning) {
        if (!set_learn_flag(tvx::getattr(c, S.a), Py_True)) return Ref();
        if (!set_learn_flag(tvx::getattr(c, S.b), Py_True)) return Ref();
    }

    Ref context = tvx::getattr(c, S.context);
    if (!context) return Ref();
    if (!set_cred_list(context.get())) return Ref();
    for (int count = 1; count <= 2; ++count) {
        for (PyObject* rp : {S.a, S.b}) {
            if (!go_to_state(
                    self, c, [c, rp] { return tvx::getattr(c, rp); }, S.st_any, context.get(),
                    true))
                return Ref();
        }
        if (count == 1) {
            for (PyObject* rp : {S.a, S.b}) {
                if (!mcall(attr(tvx::getattr(c, rp), S.spawn), S.sendline)) return Ref();
            }
        }
    }
    if (!mcall(context, S.pop, {S.kw_cred_list, Py_None})) return Ref();

    learning = tvx::truth(learn.get());
    if (learning < 0) return Ref();
    if (!learning) return tvx::none();

    Ref found[2];
    for (int i = 0; i < 2; ++i) {
        Method get_name = lookup(c, S.get_learned_hostname);
        if (!get_name) return Ref();
        Ref spawn = attr(tvx::getattr(c, i == 0 ? S.a : S.b), S.spawn);
        if (!spawn) return Ref();
        found[i] = invoke(get_name, {}, {Kw{S.spawn, spawn.get()}});
        if (!found[i]) return Ref();
    }
    Ref fallback = global(S.DEFAULT_LEARNED_HOSTNAME);
    if (!fallback) return Ref();
    int a_found = tvx::not_equal(found[0].get(), fallback.get());
    if (a_found < 0) return Ref();
    Ref learned = a_found ? found[0] : found[1];
    fallback = global(S.DEFAULT_LEARNED_HOSTNAME);
    if (!fallback) return Ref();
    int is_default = tvx::equal(learned.get(), fallback.get());
    if (is_default < 0) return Ref();
    if (is_default && !log_line(c, S.warning, [] {
            Ref pattern = global(S.DEFAULT_LEARNED_HOSTNAME);
            if (!pattern) return Ref();
            return tvx::call_method(S.warn_dual_default, S.format, {pattern.get()});
        }))
        return Ref();
    if (tvx::setattr(c, S.learned_hostname, learned.get()) < 0) return Ref();
    if (!set_learn_flag(tvx::getattr(c, S.a), Py_False)) return Ref();
    if (!set_learn_flag(tvx::getattr(c, S.b), Py_False)) return Ref();
    return tvx::none();
}

NO_ARGS_ENTRY(dual_establish_connection, "establish_connection", dual_establish_connection_impl)

// con.<rp>.state_machine.current_state == "standby_locked"
int is_standby_locked(PyObject* con, PyObject* rp) {
    Ref state = attr(attr(tvx::getattr(con, rp), S.state_machine), S.current_state);
    if (!state) return -1;
    return tvx::equal(state.get(), S.st_standby_locked);
}

Ref dual_designate_handles_impl(PyObject* self) {
    Ref con = self_attr(self, S.connection);
    if (!con) return Ref();
    PyObject* c = con.get();
    PyObject* target_rp = S.rp_a;
    PyObject* other_rp = S.rp_b;
    int a_locked = is_standby_locked(c, S.a);
    if (a_locked < 0) return Ref();
    if (a_locked) {
        target_rp = S.rp_b;
        other_rp = S.rp_a;
    } else {
        int b_locked = is_standby_locked(c, S.b);
        if (b_locked < 0) return Ref();
        if (!b_locked && !log_text(c, S.debug, S.log_both_unlocked)) return Ref();
    }
    Ref target_handle = tvx::getattr(c, target_rp);
    if (!target_handle) return Ref();
    Ref other_handle = tvx::getattr(c, other_rp);
    if (!other_handle) return Ref();
    PyObject* target = target_handle.get();

    if (!go_to_state(
            self, c, [target] { return Ref::borrow(target); }, S.st_enable, nullptr, false))
        return Ref();
    if (!mcall(tvx::getattr(target, S.spawn), S.sendline, {S.cmd_redundancy_stat})) return Ref();
    Method expect = lookup(tvx::getattr(target, S.spawn), S.expect);
    if (!expect) return Ref();
    Ref state = mcall(tvx::getattr(target, S.state_machine), S.get_state, {S.st_enable});
    Ref pattern = attr(state, S.pattern);
    if (!pattern) return Ref();
    Ref exec_timeout = attr(tvx::getattr(c, S.settings), S.EXEC_TIMEOUT);
    if (!exec_timeout) return Ref();
    Ref answer = invoke(expect, {pattern.get()}, {Kw{S.kw_timeout, exec_timeout.get()}});
    Ref output = attr(answer, S.match_output);
    if (!output) return Ref();

    PyObject* target_role = nullptr;
    PyObject* other_role = nullptr;
    Ref match = re_search(S.role_active, output.get(), true);
    if (!match) return Ref();
    int found = tvx::truth(match.get());
    if (found < 0) return Ref();
    if (found) {
        target_role = S.role_active;
        other_role = S.role_standby;
    } else {
        match = re_search(S.role_standby, output.get(), true);
        if (!match) return Ref();
        found = tvx::truth(match.get());
        if (found < 0) return Ref();
        if (!found) {
            raise_connection_error(S.msg_designate);
            return Ref();
        }
        target_role = S.role_standby;
        other_role = S.role_active;
    }
    if (!set(target_handle, S.role, target_role)) return Ref();
    if (!set(other_handle, S.role, other_role)) return Ref();
    if (tvx::setattr(c, S.handles_designated, Py_True) < 0) return Ref();
    return tvx::none();
}

NO_ARGS_ENTRY(dual_designate_handles, "designate_handles", dual_designate_handles_impl)

Ref dual_init_active_impl(PyObject* self) {
    if (!init_commands_step(self, false)) return Ref();
    return tvx::none();
}

NO_ARGS_ENTRY(dual_init_active, "init_active", dual_init_active_impl)

Ref dual_init_standby_impl(PyObject* self) {
    Ref con = self_attr(self, S.connection);
    if (!con) return Ref();
    PyObject* c = con.get();
    if (!go_to_state(
            self, c, [c] { return tvx::getattr(c, S.active); }, S.st_enable, nullptr, false))
        return Ref();
    if (!init_commands_step(self, true)) return Ref();
    return tvx::none();
}

NO_ARGS_ENTRY(dual_init_standby, "init_standby", dual_init_standby_impl)

Ref dual_assign_ha_mode_impl(PyObject* self) {
    Ref con = self_attr(self, S.connection);
    if (!con) return Ref();
    PyObject* c = con.get();
    Method execute = lookup(c, S.execute);
    if (!execute) return Ref();
    Ref prompt_recovery = self_attr(self, S.prompt_recovery);
    if (!prompt_recovery) return Ref();
    Ref ret = invoke(execute, {S.cmd_redundancy_state},
                     {Kw{S.kw_target, S.role_active}, Kw{S.prompt_recovery, prompt_recovery.get()}});
    if (!ret) return Ref();
    Ref mode = re_search(S.pat_redundancy_mode, ret.get(), false);
    if (!mode) return Ref();
    int matched = tvx::truth(mode.get());
    if (matched < 0) return Ref();
    if (!matched) {
        raise_connection_error(S.msg_ha_mode);
        return Ref();
    }

    Ref groups = mcall(mode, S.groups);
    if (!groups) return Ref();
    Ref first(PySequence_GetItem(groups.get(), 0));
    if (!first) return Ref();
    Ref ha_mode = mcall(first, S.strip);
    if (!ha_mode) return Ref();
    if (!set(tvx::getattr(c, S.a), S.mode, ha_mode.get())) return Ref();
    if (!set(attr(self_attr(self, S.connection), S.b), S.mode, ha_mode.get())) return Ref();
    if (!log_line(c, S.debug, [c] {
            Ref shown = attr(tvx::getattr(c, S.a), S.mode);
            return percent(S.log_mode_is, shown.get());
        }))
        return Ref();
    return tvx::none();
}

NO_ARGS_ENTRY(dual_assign_ha_mode, "assign_ha_mode", dual_assign_ha_mode_impl)

// self.connection.standby
Ref standby_handle(PyObject* self) {
    return attr(self_attr(self, S.connection), S.standby);
}

Ref dual_unlock_standby_impl(PyObject* self) {
    Ref commands = attr(attr(self_attr(self, S.connection), S.settings),
                        S.HA_STANDBY_UNLOCK_COMMANDS);
    if (!commands) return Ref();
    Method configure = lookup(self_attr(self, S.connection), S.configure);
    if (!configure) return Ref();
    Ref prompt_recovery = self_attr(self, S.prompt_recovery);
    if (!prompt_recovery) return Ref();
    if (!invoke(configure, {commands.get()}, {Kw{S.prompt_recovery, prompt_recovery.get()}}))
        return Ref();
    if (!set(attr(standby_handle(self), S.state_machine), S.set_current_state, S.st_generic))
        return Ref();
    if (!mcall(attr(standby_handle(self), S.spawn), S.sendline)) return Ref();
    Method go_to = lookup(attr(standby_handle(self), S.state_machine), S.go_to);
    if (!go_to) return Ref();
    Ref go_spawn = attr(standby_handle(self), S.spawn);
    if (!go_spawn) return Ref();
    prompt_recovery = self_attr(self, S.prompt_recovery);
    if (!prompt_recovery) return Ref();
    if (!invoke(go_to, {},
                {Kw{S.spawn, go_spawn.get()}, Kw{S.prompt_recovery, prompt_recovery.get()},
                 Kw{S.kw_to_state, S.st_any}}))
        return Ref();
    return tvx::none();
}

NO_ARGS_ENTRY(dual_unlock_standby, "unlock_standby", dual_unlock_standby_impl)

Ref dual_lock_standby_impl(PyObject* self) {
    Ref commands(PyList_New(0));
    if (!commands) return Ref();
    for (PyObject* line : {S.cfg_redundancy, S.cfg_main_cpu, S.cfg_no_standby_console}) {
        if (PyList_Append(commands.get(), line) < 0) return Ref();
    }
    Method configure = lookup(self_attr(self, S.connection), S.configure);
    if (!configure || !invoke(configure, {commands.get()})) return Ref();
    return tvx::none();
}

NO_ARGS_ENTRY(dual_lock_standby, "lock_standby", dual_lock_standby_impl)

Ref dual_disconnect_impl(PyObject* self) {
    for (PyObject* rp : {S.a, S.b}) {
        if (!mcall(rp_spawn(self, rp), S.close)) return Ref();
    }
    if (!wait_two_seconds()) return Ref();
    if (!set(self_attr(self, S.connection), S.is_connected, Py_False)) return Ref();
    return tvx::none();
}

NO_ARGS_ENTRY(dual_disconnect, "disconnect", dual_disconnect_impl)

#undef OWN_STEP
#undef NO_ARGS_ENTRY


// ================================================================ method tables

#define METHOD(name, fn, doc) \
    {name, (PyCFunction)(void (*)(void))fn, TVX_METHOD_FLAGS, doc}

PyMethodDef common_methods[] = {
    METHOD("__init__", common_init,
           "__init__($self, /, connection)\n--\n\n"
           "Initializes\n\n"
           "Keeps the connection object and takes the prompt-recovery flag out of\n"
           "its context (key \"prompt_recovery\", False when absent)."),
    METHOD("get_connection_dialog", common_get_connection_dialog,
           "get_connection_dialog($self, /)\n--\n\n"
           "Creates and returns Dialog, for processing device connection\n\n"
           "By default the connection uses the state machine's dialog for any\n"
           "connection processing; any additional dialog that is needed is to be\n"
           "supplied here."),
    METHOD("set_init_commands", common_set_init_commands, "set_init_commands($self, /)\n--\n\n"),
    METHOD("execute_init_commands", common_execute_init_commands,
           "execute_init_commands($self, /, standby=False)\n--\n\n"
           "Executes the initialization commands on the device.\n"
           "On standy don't execute configure commands."),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef single_methods[] = {
    METHOD("__init__", single_init, "__init__($self, /, connection)\n--\n\n"),
    METHOD("connect", single_connect,
           "connect($self, /)\n--\n\nPerforms the device connection and initialization"),
    METHOD("establish_connection", single_establish_connection,
           "establish_connection($self, /)\n--\n\n"
           "Reads the device state and brings it to the right state"),
    METHOD("init_handle", single_init_handle,
           "init_handle($self, /)\n--\n\nbring device handle to enable state"),
    METHOD("disconnect", single_disconnect,
           "disconnect($self, /)\n--\n\nDisconnect from the device"),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef dual_methods[] = {
    METHOD("__init__", dual_init, "__init__($self, /, connection)\n--\n\n"),
    METHOD("connect", dual_connect,
           "connect($self, /)\n--\n\nConnects, initializes and designates handle"),
    METHOD("establish_connection", dual_establish_connection,
           "establish_connection($self, /)\n--\n\n"
           "Reads the device state and brings both RP to the right state"),
    METHOD("designate_handles", dual_designate_handles,
           "designate_handles($self, /)\n--\n\n"
           "Identifies the Role of each handle and designates if\n"
           "it is active or standby"),
    METHOD("init_active", dual_init_active,
           "init_active($self, /)\n--\n\nPerforms active RP initialization"),
    METHOD("init_standby", dual_init_standby,
           "init_standby($self, /)\n--\n\nPerforms Standby RP initialization"),
    METHOD("assign_ha_mode", dual_assign_ha_mode,
           "assign_ha_mode($self, /)\n--\n\nGets the HA mode for this chassis"),
    METHOD("unlock_standby", dual_unlock_standby,
           "unlock_standby($self, /)\n--\n\nUnlocks standby handle"),
    METHOD("lock_standby", dual_lock_standby,
           "lock_standby($self, /)\n--\n\nlock standby handle"),
    METHOD("disconnect", dual_disconnect,
           "disconnect($self, /)\n--\n\nDisconnect the connection to both RP's"),
    {nullptr, nullptr, 0, nullptr},
};

#undef METHOD

const char kCommonDoc[] = "Link broker with common methods for single and dual RP";

const char kSingleDoc[] =
    "Link broker for single RP\n"
    "\n"
    "    The connection class of any platform depends on the link broker class\n"
    "    for two essential methods, connect and disconnect, which let the\n"
    "    application connect to and disconnect from the device.\n"
    "    ";

const char kDualDoc[] =
    "Link Broker for Dual RP\n"
    "\n"
    "    The connection class of any platform depends on the link broker class\n"
    "    for two essential methods, connect and disconnect, which let the\n"
    "    application connect to and disconnect from the device.\n"
    "    ";

const char kModuleDoc[] =
    "Module:\n"
    "    tarvix.bases.routers.link_broker\n"
    "\n"
    "Description:\n"
    "    Link brokers for router connections.  The connection class of a router\n"
    "    platform gets its two essential operations, connect and disconnect,\n"
    "    from a link broker: BaseSingleRpLinkBroker for a device with one route\n"
    "    processor, BaseDualRpLinkBroker for one with an active and a standby\n"
    "    route processor, both built on BaseCommonRpLinkBroker.\n"
    "\n"
    "    The Connection is the caller of connect and disconnect.  A broker may\n"
    "    have any number of other methods, but only connect and disconnect are\n"
    "    public; the others are steps that a platform's own broker overrides.\n"
    "    The classes here target a generic platform and are the recommended\n"
    "    starting point for the brokers of other platforms.\n"
    "\n"
    "Dependencies:\n"
    "    A broker is passed the whole connection object and may only be\n"
    "    instantiated after all the connection's spawn objects and all its\n"
    "    state machines have been created; the connection's other members\n"
    "    (settings, log and so on) are expected to be present too.\n"
    "\n"
    "Lifecycle:\n"
    "    The connection creates its broker once its spawns and state machines\n"
    "    exist, calls connect to reach and initialise the device and later\n"
    "    disconnect to close the device links.\n"
    "\n"
    "Mutations:\n"
    "    A broker mutates its parent connection; typically handles_designated,\n"
    "    and also its connected flag, learned hostname, the roles and modes of\n"
    "    its handles and its context.\n"
    "\n"
    "Exceptions:\n"
    "    When a broker catches a failure it reports it by raising\n"
    "    ConnectionError.\n"
    "\n"
    "Example:\n"
    "    Examples are in the documentation of each class.\n";

// ================================================================ module set-up

// type(name, bases, ns) with the methods of `methods`, bound in the module.
// The descriptors kept for call_own: method name and where to keep it.
struct KeptMethod {
    const char* name;
    Ref* slot;
};

const KeptMethod common_kept[] = {
    {"get_connection_dialog", &d_get_connection_dialog},
    {"set_init_commands", &d_set_init_commands},
    {"execute_init_commands", &d_execute_init_commands},
    {nullptr, nullptr},
};

const KeptMethod single_kept[] = {
    {"establish_connection", &d_single_establish_connection},
    {"init_handle", &d_single_init_handle},
    {nullptr, nullptr},
};

const KeptMethod dual_kept[] = {
    {"establish_connection", &d_dual_establish_connection},
    {"designate_handles", &d_dual_designate_handles},
    {"init_active", &d_dual_init_active},
    {"unlock_standby", &d_dual_unlock_standby},
    {"init_standby", &d_dual_init_standby},
    {"assign_ha_mode", &d_dual_assign_ha_mode},
    {nullptr, nullptr},
};

Ref build_class(const char* name, PyObject* base, const char* doc, PyMethodDef* methods,
                const KeptMethod* keep, PyObject* module_name) {
    Ref bases = tvx::make_tuple({base});
    if (!bases) return Ref();
    Ref cls = tvx::make_class(name, bases.get(), module_name, doc);
    if (!cls) return Ref();
    for (PyMethodDef* def = methods; def->ml_name; ++def) {
        Ref descr;
        if (tvx::add_method(cls.get(), def, &descr) < 0) return Ref();
        for (const KeptMethod* kept = keep; kept && kept->name; ++kept) {
            if (std::strcmp(kept->name, def->ml_name) == 0) *kept->slot = descr;
        }
    }
    if (PyDict_SetItemString(g_globals.get(), name, cls.get()) < 0) return Ref();
    return cls;
}

// from <module> import <name>, bound in the module as <name>.
int bind_from(const char* module, PyObject* name) {
    Ref mod(PyImport_ImportModule(module));
    if (!mod) return -1;
    Ref value = tvx::import_from(mod.get(), name);
    if (!value) return -1;
    return PyDict_SetItem(g_globals.get(), name, value.get());
}

int exec_module(PyObject* module) {
    if (intern_strings() < 0) return -1;
    g_globals = Ref::borrow(PyModule_GetDict(module));
    if (!g_globals) return -1;
    if (!g_two) {
        g_two = Ref(PyLong_FromLong(2));
        if (!g_two) return -1;
    }
    Ref debug = tvx::builtin("__debug__");
    if (!debug) return -1;
    int assertions = tvx::truth(debug.get());
    if (assertions < 0) return -1;
    g_assertions = assertions != 0;

    // import re
    Ref re(PyImport_ImportModule("re"));
    if (!re || PyDict_SetItem(g_globals.get(), S.re, re.get()) < 0) return -1;
    if (bind_from("time", S.sleep) < 0) return -1;
    if (bind_from("tarvix.eal.dialogs", S.Dialog) < 0) return -1;
    if (bind_from("tarvix", S.log) < 0) return -1;
    if (bind_from("tarvix.core.errors", S.ConnectionError) < 0) return -1;
    if (bind_from("tarvix.bases.connection", S.DEFAULT_LEARNED_HOSTNAME) < 0) return -1;

    Ref module_name(PyUnicode_FromString(kModuleName));
    if (!module_name) return -1;
    Ref common = build_class("BaseCommonRpLinkBroker", reinterpret_cast<PyObject*>(&PyBaseObject_Type),
                             kCommonDoc, common_methods, common_kept, module_name.get());
    if (!common) return -1;
    Ref single = build_class("BaseSingleRpLinkBroker", common.get(), kSingleDoc, single_methods,
                             single_kept, module_name.get());
    if (!single) return -1;
    Ref dual = build_class("BaseDualRpLinkBroker", common.get(), kDualDoc, dual_methods, dual_kept,
                           module_name.get());
    if (!dual) return -1;
    g_single_cls = single;
    g_dual_cls = dual;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    kModuleDoc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_link_broker(void) {
    return PyModuleDef_Init(&module_def);
}
