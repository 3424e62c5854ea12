// tarvix.bases.routers.link_broker: the link brokers through which a router
// connection of the framework connects to and disconnects from a device with
// one route processor (BaseSingleRpLinkBroker) or two (BaseDualRpLinkBroker).
//
// The classes are ordinary Python classes made by type(); their methods are
// method descriptors.  Every step one method takes through another is
// self.<step>(), looked up and called as the interpreter does.  Calls into
// host objects look the method up as the interpreter's method call does
// (tvx::get_method) before their arguments are computed, and pass the
// arguments without a tuple or dict where the interpreter allows it.
// Module-level names (re, sleep, Dialog, ConnectionError,
// DEFAULT_LEARNED_HOSTNAME) are read from the module's namespace when they
// are used.  Values are computed in the order the equivalent Python
// expression evaluates them: the method first, then its arguments left to
// right.
//
// Everything the methods use (the namespace, interned names, keyword-name
// tuples) is the state of the module object that made their class, so that
// classes of an earlier import, or of another interpreter, keep to their own.

#include "pyclass.hpp"
#include "pystack.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace {

using tvx::Ref;

const char* const kModuleName = "tarvix.bases.routers.link_broker";

// ---------------------------------------------------------------- module state

struct Strings {
    // module-level names
    PyObject *re, *sleep, *Dialog, *log, *ConnectionError, *DEFAULT_LEARNED_HOSTNAME;
    // the broker's own attributes and steps
    PyObject *connection, *prompt_recovery, *init_exec_commands, *init_config_commands;
    PyObject *dunder_init, *get_connection_dialog, *set_init_commands, *execute_init_commands;
    PyObject *establish_connection, *init_handle, *designate_handles, *init_active;
    PyObject *init_standby, *unlock_standby, *assign_ha_mode;
    // members of the host objects
    PyObject *context, *pop, *get, *update, *info, *warning, *debug, *hostname, *device, *mit;
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

// The keyword-name tuples of the calls the brokers make, one per sequence.
struct KwNames {
    PyObject* prompt_recovery;              // (prompt_recovery,)
    PyObject* go_to;                        // (context, prompt_recovery, timeout)
    PyObject* go_to_dialog;                 // (context, prompt_recovery, timeout, dialog)
    PyObject* timeout;                      // (timeout,)
    PyObject* target_prompt_recovery;       // (target, prompt_recovery)
    PyObject* spawn_prompt_recovery_state;  // (spawn, prompt_recovery, to_state)
    PyObject* cred_list;                    // (cred_list,)
    PyObject* spawn;                        // (spawn,)
    PyObject* standby;                      // (standby,)
};

// The state of one module object (its md_state): nothing but owned
// references, so that traversing and clearing it is a walk over them.
// A module-level name found in the namespace while the namespace had a given
// version tag (see global()); name and value are borrowed.
// (Read only where dict versions exist, a configuration cppcheck may not take.)
struct GlobalMemo {
    // cppcheck-suppress unusedStructMember
    PyObject* name;
    std::uint64_t version;
    // cppcheck-suppress unusedStructMember
    PyObject* value;
};

struct State {
    Strings s;
    KwNames k;
    PyObject* globals;     // the module's namespace, read by global()
    PyObject* two;         // the integer 2 handed to sleep
    PyObject* assertions;  // builtins.__debug__ when the module was executed
    PyObject* classes[3];  // the module's classes, by Kind
    // (owned references end here)
    GlobalMemo memo[5];

    // The state of a module object of this definition, while it is not
    // cleared (for tvx::ClassStates), and its class of a kind.
    static State* of(PyObject* module);
    PyObject* own_class(int kind) const { return classes[kind]; }
};

static_assert(offsetof(State, memo) % sizeof(PyObject*) == 0, "the state begins with references");
constexpr std::size_t kStateRefs = offsetof(State, memo) / sizeof(PyObject*);

PyObject** state_refs(State* st) { return reinterpret_cast<PyObject**>(st); }

struct StringEntry {
    PyObject* Strings::*member;
    const char* text;
};

const StringEntry kStrings[] = {
    {&Strings::re, "re"},
    {&Strings::sleep, "sleep"},
    {&Strings::Dialog, "Dialog"},
    {&Strings::log, "log"},
    {&Strings::ConnectionError, "ConnectionError"},
    {&Strings::DEFAULT_LEARNED_HOSTNAME, "DEFAULT_LEARNED_HOSTNAME"},
    {&Strings::connection, "connection"},
    {&Strings::prompt_recovery, "prompt_recovery"},
    {&Strings::init_exec_commands, "init_exec_commands"},
    {&Strings::init_config_commands, "init_config_commands"},
    {&Strings::dunder_init, "__init__"},
    {&Strings::get_connection_dialog, "get_connection_dialog"},
    {&Strings::set_init_commands, "set_init_commands"},
    {&Strings::execute_init_commands, "execute_init_commands"},
    {&Strings::establish_connection, "establish_connection"},
    {&Strings::init_handle, "init_handle"},
    {&Strings::designate_handles, "designate_handles"},
    {&Strings::init_active, "init_active"},
    {&Strings::init_standby, "init_standby"},
    {&Strings::unlock_standby, "unlock_standby"},
    {&Strings::assign_ha_mode, "assign_ha_mode"},
    {&Strings::context, "context"},
    {&Strings::pop, "pop"},
    {&Strings::get, "get"},
    {&Strings::update, "update"},
    {&Strings::info, "info"},
    {&Strings::warning, "warning"},
    {&Strings::debug, "debug"},
    {&Strings::hostname, "hostname"},
    {&Strings::device, "device"},
    {&Strings::mit, "mit"},
    {&Strings::spawn, "spawn"},
    {&Strings::state_machine, "state_machine"},
    {&Strings::a, "a"},
    {&Strings::b, "b"},
    {&Strings::active, "active"},
    {&Strings::standby, "standby"},
    {&Strings::learn_hostname, "learn_hostname"},
    {&Strings::learned_hostname, "learned_hostname"},
    {&Strings::get_learned_hostname, "_get_learned_hostname"},
    {&Strings::connection_timeout, "connection_timeout"},
    {&Strings::settings, "settings"},
    {&Strings::HA_INIT_EXEC_COMMANDS, "HA_INIT_EXEC_COMMANDS"},
    {&Strings::HA_INIT_CONFIG_COMMANDS, "HA_INIT_CONFIG_COMMANDS"},
    {&Strings::HA_STANDBY_UNLOCK_COMMANDS, "HA_STANDBY_UNLOCK_COMMANDS"},
    {&Strings::EXEC_TIMEOUT, "EXEC_TIMEOUT"},
    {&Strings::execute, "execute"},
    {&Strings::configure, "configure"},
    {&Strings::is_connected, "_is_connected"},
    {&Strings::handles_designated, "_handles_designated"},
    {&Strings::close, "close"},
    {&Strings::sendline, "sendline"},
    {&Strings::expect, "expect"},
    {&Strings::match_output, "match_output"},
    {&Strings::go_to, "go_to"},
    {&Strings::current_state, "current_state"},
    {&Strings::set_current_state, "_current_state"},
    {&Strings::get_state, "get_state"},
    {&Strings::pattern, "pattern"},
    {&Strings::role, "role"},
    {&Strings::mode, "mode"},
    {&Strings::search, "search"},
    {&Strings::IGNORECASE, "IGNORECASE"},
    {&Strings::groups, "groups"},
    {&Strings::strip, "strip"},
    {&Strings::format, "format"},
    {&Strings::kw_timeout, "timeout"},
    {&Strings::kw_dialog, "dialog"},
    {&Strings::kw_target, "target"},
    {&Strings::kw_to_state, "to_state"},
    {&Strings::kw_cred_list, "cred_list"},
    {&Strings::login_creds, "login_creds"},
    {&Strings::st_any, "any"},
    {&Strings::st_enable, "enable"},
    {&Strings::st_standby_locked, "standby_locked"},
    {&Strings::st_generic, "generic"},
    {&Strings::rp_a, "a"},
    {&Strings::rp_b, "b"},
    {&Strings::role_active, "active"},
    {&Strings::role_standby, "standby"},
    {&Strings::cmd_redundancy_stat, "sh redundancy stat | inc my state"},
    {&Strings::cmd_redundancy_state, "sh redundancy state"},
    {&Strings::pat_redundancy_mode, "[Rr]edundancy\\s+[Ss]tate\\s+=\\s+(.*)"},
    {&Strings::cfg_redundancy, "redundancy"},
    {&Strings::cfg_main_cpu, "main-cpu"},
    {&Strings::cfg_no_standby_console, "no standby console enable"},
    {&Strings::msg_not_a_list, "Init commands must be a list"},
    {&Strings::msg_designate, "unable to designate handles"},
    {&Strings::msg_ha_mode, "unable to determine redundancy mode"},
    {&Strings::log_connection_to, "connection to %s"},
    {&Strings::log_init_handle, "+++ initializing handle +++"},
    {&Strings::log_dual_connection_to, "+++ connection to %s +++"},
    {&Strings::log_designating, "+++ designating handles +++"},
    {&Strings::log_init_active, "+++ initializing active handle +++"},
    {&Strings::log_unlocking, "+++ unlocking standby +++"},
    {&Strings::log_init_standby, "+++ initializing standby handle +++"},
    {&Strings::log_assigning, "+++ assigning ha mode +++"},
    {&Strings::log_both_unlocked, "both the rp's are unlocked"},
    {&Strings::log_mode_is, "redundancy mode is %s"},
    {&Strings::warn_single_default,
     "Using the default hostname pattern {}. This may lead to unstable behavior."},
    {&Strings::warn_dual_default,
     "Failed to learn the hostname.  Using the default hostname pattern {}. "
     "This may lead to unstable behavior."},
};

static_assert(sizeof kStrings / sizeof kStrings[0] == sizeof(Strings) / sizeof(PyObject*),
              "every name has its text");

// Fills the state's names and keyword-name tuples.
int make_names(State* st) {
    for (const StringEntry& entry : kStrings) {
        PyObject* text = tvx::intern(entry.text);
        if (!text) return -1;
        st->s.*entry.member = text;
    }
    const Strings& S = st->s;
    const struct {
        PyObject** slot;
        std::initializer_list<tvx::Kw> names;
    } tuples[] = {
        {&st->k.prompt_recovery, {{S.prompt_recovery, nullptr}}},
        {&st->k.go_to, {{S.context, nullptr}, {S.prompt_recovery, nullptr}, {S.kw_timeout, nullptr}}},
        {&st->k.go_to_dialog,
         {{S.context, nullptr}, {S.prompt_recovery, nullptr}, {S.kw_timeout, nullptr},
          {S.kw_dialog, nullptr}}},
        {&st->k.timeout, {{S.kw_timeout, nullptr}}},
        {&st->k.target_prompt_recovery, {{S.kw_target, nullptr}, {S.prompt_recovery, nullptr}}},
        {&st->k.spawn_prompt_recovery_state,
         {{S.spawn, nullptr}, {S.prompt_recovery, nullptr}, {S.kw_to_state, nullptr}}},
        {&st->k.cred_list, {{S.kw_cred_list, nullptr}}},
        {&st->k.spawn, {{S.spawn, nullptr}}},
        {&st->k.standby, {{S.standby, nullptr}}},
    };
    for (const auto& entry : tuples) {
        *entry.slot = tvx::kwnames_of(entry.names).release();
        if (!*entry.slot) return -1;
    }
    return 0;
}

// Every entry into the module's methods, and every step run directly (see
// step), first checks the C stack left: a subclass's step that calls the
// broker again nests the native frames once per level, and the recursion
// limit, which may be set as high as one likes, says nothing of the stack.
inline bool enter_native() { return tvx::enter_stack(" while calling a Python object"); }

// The module's classes, by kind.  Each method finds the state of its module
// through its class, as tvx::ClassStates describes: the class that defines
// it where the interpreter passes it (METH_METHOD), else the class of the
// instance.  The module is held for the call.
enum Kind { kCommon, kSingle, kDual };

extern PyModuleDef module_def;
tvx::ClassStates<State, 3> g_states(&module_def);

State* State::of(PyObject* module) {
    State* st = static_cast<State*>(PyModule_GetState(module));
    // A state whose module has been cleared (by the cyclic collector, while
    // its classes are being collected too) is not used.
    if (st && !st->globals) {
        PyErr_SetString(PyExc_SystemError, "link_broker module is cleared");
        return nullptr;
    }
    return st;
}

#ifdef TVX_DEFINING_CLASS
#define BROKER_FLAGS (METH_METHOD | METH_FASTCALL | METH_KEYWORDS)
#define NO_ARGS_FLAGS BROKER_FLAGS
#define ENTRY_DECL(entry, kind)                                                       \
    PyObject* entry(PyObject* self, PyTypeObject* defining, PyObject* const* args, \
                    size_t nargsf, PyObject* kwnames)
#define ENTRY_ARGS args, PyVectorcall_NARGS(nargsf), kwnames
#define ENTRY_CLASS defining
#define ENTRY_EXACT true
#else
#define BROKER_FLAGS TVX_METHOD_FLAGS
#define NO_ARGS_FLAGS METH_NOARGS
#define ENTRY_DECL(entry, kind) PyObject* entry(PyObject* self, TVX_ARGS_DECL)
#define ENTRY_ARGS TVX_ARGS
#define ENTRY_CLASS Py_TYPE(self)
#define ENTRY_EXACT false
#endif
// st: the state; defining_class: the module's class of that kind (a base of
// the instance's class).
#define ENTRY_STATE(kind)                                       \
    if (!enter_native()) return nullptr;                        \
    Ref hold;                                                   \
    State* st = g_states.find(ENTRY_CLASS, kind, ENTRY_EXACT, &hold); \
    if (!st) return nullptr;                                    \
    PyObject* defining_class = st->classes[kind];               \
    (void)defining_class

// ---------------------------------------------------------------- host calls

// A method of a host object as the interpreter's method call obj.name(...)
// finds it: the function with the object to call it on, or the attribute.
struct Method {
    Ref fn;
    Ref self;  // empty: fn is called as it is
    explicit operator bool() const noexcept { return static_cast<bool>(fn); }
};

// obj.name as a method to call; empty with the error set on failure (or when
// obj is empty, passing on an earlier failure).
Method lookup(PyObject* obj, PyObject* name) {
    Method m;
    if (!obj) return m;
    PyObject* fn = nullptr;
    const int unbound = tvx::get_method(obj, name, &fn);
    m.fn = Ref(fn);
    if (unbound > 0) m.self = Ref::borrow(obj);
    return m;
}

Method lookup(const Ref& obj, PyObject* name) { return lookup(obj.get(), name); }

// m(*args), the last len(kwnames) of args passed by those names; an empty
// value among the arguments passes on the failure that computing it met.
template <class... Args>
Ref invoke(const Method& m, PyObject* kwnames = nullptr, Args... args) {
    if (!m.fn) return Ref();
    return tvx::vectorcall(m.fn.get(), m.self.get(), kwnames, args...);
}

// obj.name(*args) where every argument is a value already at hand, so that
// looking the method up after them is the same as before them.
template <class... Args>
Ref mcall(PyObject* obj, PyObject* name, Args... args) {
    return tvx::vectorcall_method(obj, name, args...);
}

template <class... Args>
Ref mcall(const Ref& obj, PyObject* name, Args... args) {
    return tvx::vectorcall_method(obj.get(), name, args...);
}

#if defined(TVX_METHOD_DEF) && defined(TVX_DEFINING_CLASS)
#define OWN_STEPS_DIRECT 1
using Impl = Ref (*)(State*, PyObject*);
Impl own_impl(const PyMethodDef* def, Kind* kind);
Ref common_execute_init_commands_impl(State* st, PyObject* self, PyObject* standby);
// execute_init_commands(self) with standby at its default.
Ref execute_init_commands_plain(State* st, PyObject* self) {
    return common_execute_init_commands_impl(st, self, Py_False);
}
#endif

// self.<step>() / self.<step>(**kw) for one of the broker's own steps: looked
// up on the instance, so that an override in a subclass or in the instance's
// __dict__ is what runs.  When the lookup finds one of the module's own
// method descriptors and the call passes no argument, its implementation
// runs directly, with the state of the descriptor's class, as the
// descriptor's call would find it, and after the same checks of the stack
// left and of the recursion limit.
// (`standby`, when given, is passed as the keyword standby: the one step
// that takes an argument, execute_init_commands.)
Ref step(PyObject* self, PyObject* name, State* caller = nullptr, PyObject* standby = nullptr) {
    Method m = lookup(self, name);
    if (!m) return Ref();
#ifdef OWN_STEPS_DIRECT
    PyTypeObject* cls = nullptr;
    const PyMethodDef* def = m.self ? tvx::method_def_of(m.fn.get(), self, &cls) : nullptr;
    Kind kind = kCommon;
    Impl impl = def ? own_impl(def, &kind) : nullptr;
    if (impl && (!standby || impl == execute_init_commands_plain)) {
        Ref hold;
        State* st = g_states.find(cls, kind, true, &hold);
        if (!st || !enter_native()) return Ref();
        if (Py_EnterRecursiveCall(" while calling a Python object")) return Ref();
        Ref result = standby ? common_execute_init_commands_impl(st, self, standby) : impl(st, self);
        Py_LeaveRecursiveCall();
        return result;
    }
#endif
    if (!standby) return invoke(m);
    return invoke(m, caller->k.standby, standby);
}

// self.name for the broker's own attributes.
Ref self_attr(PyObject* self, PyObject* name) { return tvx::getattr(self, name); }

// ---------------------------------------------------------------- small helpers

// obj.name, passing on an earlier failure (empty obj).
Ref attr(const Ref& obj, PyObject* name) {
    if (!obj) return Ref();
    return tvx::getattr(obj.get(), name);
}

// A module-level name at the time of use.
// (Up to 3.11 a dict seen with the same version tag is unchanged, so a name
// found in the namespace under that tag is still bound to the same value.)
Ref global(State* st, PyObject* name) {
#ifdef TVX_DICT_VERSION
    const std::uint64_t version = tvx::dict_version(st->globals);
    GlobalMemo* slot = nullptr;
    for (GlobalMemo& memo : st->memo) {
        if (memo.name == name || !memo.name) {
            slot = &memo;
            break;
        }
    }
    if (slot && slot->name && slot->version == version) return Ref::borrow(slot->value);
    PyObject* found = PyDict_GetItemWithError(st->globals, name);  // str keys: no code runs
    if (found) {
        if (slot) *slot = GlobalMemo{name, version, found};
        return Ref::borrow(found);
    }
    if (PyErr_Occurred()) return Ref();
#endif
    return tvx::load_global(st->globals, name);
}

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
bool log_line(const Strings& S, PyObject* con, PyObject* level, Make make) {
    Ref log = tvx::getattr(con, S.log);
    if (!log) return false;
    Method fn = lookup(log, level);
    if (!fn) return false;
    Ref message = make();
    if (!message) return false;
    return static_cast<bool>(invoke(fn, nullptr, message.get()));
}

bool log_text(const Strings& S, PyObject* con, PyObject* level, PyObject* text) {
    Ref log = tvx::getattr(con, S.log);
    if (!log) return false;
    return static_cast<bool>(mcall(log, level, text));
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
bool assert_list_attribute(State* st, PyObject* self, PyObject* name) {
    Ref value = self_attr(self, name);
    if (!value) return false;
    int ok = is_list_instance(value.get());
    if (ok < 0) return false;
    if (!ok) {
        tvx::raise_with(PyExc_AssertionError, st->s.msg_not_a_list);
        return false;
    }
    return true;
}

// re.search(pattern, text) or re.search(pattern, text, re.IGNORECASE), with
// the module-level `re` read at each use.
Ref re_search(State* st, PyObject* pattern, PyObject* text, bool ignore_case) {
    const Strings& S = st->s;
    Ref re = global(st, S.re);
    if (!re) return Ref();
    Method search = lookup(re, S.search);
    if (!search) return Ref();
    if (!ignore_case) return invoke(search, nullptr, pattern, text);
    Ref re_again = global(st, S.re);
    Ref flag = attr(re_again, S.IGNORECASE);
    if (!flag) return Ref();
    return invoke(search, nullptr, pattern, text, flag.get());
}

// raise ConnectionError(message) with the module-level ConnectionError.
PyObject* raise_connection_error(State* st, PyObject* message) {
    Ref error_class = global(st, st->s.ConnectionError);
    if (!error_class) return nullptr;
    return tvx::raise_with(error_class.get(), message);
}

// learn_hostname = con.learn_hostname and not con.learned_hostname
// (the false value of con.learn_hostname itself when that is false).
Ref learn_decision(const Strings& S, PyObject* con) {
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
bool set_cred_list(State* st, PyObject* context) {
    const Strings& S = st->s;
    Method update = lookup(context, S.update);
    if (!update) return false;
    Ref creds = mcall(context, S.get, S.login_creds);
    if (!creds) return false;
    return static_cast<bool>(invoke(update, st->k.cred_list, creds.get()));
}

// handle.state_machine.go_to(state, handle.spawn, context=<context>,
//     prompt_recovery=self.prompt_recovery, timeout=con.connection_timeout
//     [, dialog=self.get_connection_dialog()])
// where handle is what `handle_of` returns each time it is asked (the
// connection itself for a single RP).  A null context means con.context.
template <class HandleOf>
Ref go_to_state(State* st, PyObject* self, PyObject* con, HandleOf handle_of, PyObject* state,
                PyObject* context, bool with_dialog) {
    const Strings& S = st->s;
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
        return invoke(go_to, st->k.go_to, state, spawn.get(), ctx.get(), prompt_recovery.get(),
                      timeout.get());
    }
    Ref dialog = step(self, S.get_connection_dialog);
    if (!dialog) return Ref();
    return invoke(go_to, st->k.go_to_dialog, state, spawn.get(), ctx.get(), prompt_recovery.get(),
                  timeout.get(), dialog.get());
}

// handle.state_machine.learn_hostname = value
bool set_learn_flag(const Strings& S, const Ref& handle, PyObject* value) {
    return set(attr(handle, S.state_machine), S.learn_hostname, value);
}

// The method-resolution successor's __init__(connection) of `cls` for self:
// super(cls, self).__init__(connection).
PyObject* init_next_in_mro(State* st, PyObject* cls, PyObject* self, PyObject* connection) {
    Ref proxy = tvx::call(reinterpret_cast<PyObject*>(&PySuper_Type), {cls, self});
    if (!proxy) return nullptr;
    Ref result = mcall(proxy, st->s.dunder_init, connection);
    if (!result) return nullptr;
    return result.release();
}

PyObject* parse_connection(State* st, const char* fname, TVX_ARGS_DECL, Ref* out) {
    PyObject* const names[] = {st->s.connection};
    if (!tvx::parse_args(fname, TVX_ARGS, names, 1, 1, out)) return nullptr;
    return out[0].get();
}

// The entry point of a method without parameters: runs the implementation
// with the state of the module of the class of that kind.  (Where the
// defining class is not passed, METH_NOARGS: the interpreter refuses
// arguments and calls it directly.)
#ifdef TVX_DEFINING_CLASS
#define NO_ARGS_ENTRY(entry, kind, fname, impl)               \
    ENTRY_DECL(entry, kind) {                                 \
        if (!tvx::no_args(fname, ENTRY_ARGS)) return nullptr; \
        ENTRY_STATE(kind);                                    \
        return impl(st, self).release();                      \
    }
#else
#define NO_ARGS_ENTRY(entry, kind, fname, impl)               \
    PyObject* entry(PyObject* self, PyObject*) {              \
        ENTRY_STATE(kind);                                    \
        return impl(st, self).release();                      \
    }
#endif

// ================================================================ BaseCommonRpLinkBroker

ENTRY_DECL(common_init, kCommon) {
    ENTRY_STATE(kCommon);
    const Strings& S = st->s;
    Ref parsed[1];
    PyObject* connection = parse_connection(st, "__init__", ENTRY_ARGS, parsed);
    if (!connection) return nullptr;
    if (tvx::setattr(self, S.connection, connection) < 0) return nullptr;
    Ref flag = mcall(tvx::getattr(connection, S.context), S.pop, S.prompt_recovery, Py_False);
    if (!flag) return nullptr;
    if (tvx::setattr(self, S.prompt_recovery, flag.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

Ref common_get_connection_dialog_impl(State* st, PyObject* /*self*/) {
    Ref dialog_class = global(st, st->s.Dialog);
    if (!dialog_class) return Ref();
    Ref statements(PyList_New(0));
    if (!statements) return Ref();
    return tvx::call(dialog_class.get(), {statements.get()});
}

NO_ARGS_ENTRY(common_get_connection_dialog, kCommon, "get_connection_dialog",
              common_get_connection_dialog_impl)

// self.<target> = con.<own> if it is not None, else settings.<key> if the
// settings object has that attribute (any error of the read counting as
// absence), else [].
bool choose_commands(const Strings& S, PyObject* self, PyObject* con, PyObject* own, PyObject* key,
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

Ref common_set_init_commands_impl(State* st, PyObject* self) {
    const Strings& S = st->s;
    Ref con = self_attr(self, S.connection);
    if (!con) return Ref();
    if (!choose_commands(S, self, con.get(), S.init_exec_commands, S.HA_INIT_EXEC_COMMANDS,
                         S.init_exec_commands))
        return Ref();
    if (!choose_commands(S, self, con.get(), S.init_config_commands, S.HA_INIT_CONFIG_COMMANDS,
                         S.init_config_commands))
        return Ref();
    return tvx::none();
}

NO_ARGS_ENTRY(common_set_init_commands, kCommon, "set_init_commands", common_set_init_commands_impl)

// execute_init_commands(self, standby); `standby` is the value bound to the
// parameter.
Ref common_execute_init_commands_impl(State* st, PyObject* self, PyObject* standby) {
    const Strings& S = st->s;
    if (!step(self, S.set_init_commands)) return Ref();
    if (st->assertions == Py_True) {
        if (!assert_list_attribute(st, self, S.init_exec_commands)) return Ref();
        if (!assert_list_attribute(st, self, S.init_config_commands)) return Ref();
    }
    Ref con = self_attr(self, S.connection);
    if (!con) return Ref();

    Ref exec_commands = self_attr(self, S.init_exec_commands);
    if (!exec_commands) return Ref();
    const bool sent = tvx::for_each(exec_commands.get(), [&](PyObject* command) {
        Method execute = lookup(con, S.execute);
        if (!execute) return false;
        Ref prompt_recovery = self_attr(self, S.prompt_recovery);
        if (!prompt_recovery) return false;
        return static_cast<bool>(
            invoke(execute, st->k.prompt_recovery, command, prompt_recovery.get()));
    });
    if (!sent) return Ref();

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
    if (!invoke(configure, st->k.prompt_recovery, lines.get(), prompt_recovery.get()))
        return Ref();
    return tvx::none();
}

ENTRY_DECL(common_execute_init_commands, kCommon) {
    ENTRY_STATE(kCommon);
    PyObject* const names[] = {st->s.standby};
    Ref parsed[1];
    if (!tvx::parse_args("execute_init_commands", ENTRY_ARGS, names, 1, 0, parsed)) return nullptr;
    return common_execute_init_commands_impl(st, self, parsed[0] ? parsed[0].get() : Py_False)
        .release();
}

// self.execute_init_commands() / self.execute_init_commands(standby=True)
Ref init_commands_step(State* st, PyObject* self, bool standby) {
    return step(self, st->s.execute_init_commands, st, standby ? Py_True : nullptr);
}

// ================================================================ BaseSingleRpLinkBroker

ENTRY_DECL(single_init, kSingle) {
    ENTRY_STATE(kSingle);
    Ref parsed[1];
    PyObject* connection = parse_connection(st, "__init__", ENTRY_ARGS, parsed);
    if (!connection) return nullptr;
    return init_next_in_mro(st, defining_class, self, connection);
}

Ref single_connect_impl(State* st, PyObject* self) {
    const Strings& S = st->s;
    Ref con = self_attr(self, S.connection);
    if (!con) return Ref();
    PyObject* c = con.get();
    if (!log_line(S, c, S.info, [&S, c] {
            // A device given no name is told by its link's name.
            Ref name = tvx::getattr(c, S.hostname);
            if (!name) return name;
            int named = tvx::truth(name.get());
            if (named < 0) return Ref();
            if (!named) {
                Ref machine = tvx::getattr(c, S.state_machine);
                if (!machine) return machine;
                name = tvx::getattr(machine.get(), S.device);
                if (!name) return name;
            }
            return percent(S.log_connection_to, name.get());
        }))
        return Ref();
    Ref result = step(self, S.establish_connection);
    if (!result) return Ref();
    Ref mit = tvx::getattr(c, S.mit);
    if (!mit) return Ref();
    int skip = tvx::truth(mit.get());
    if (skip < 0) return Ref();
    if (!skip) {
        if (!log_text(S, c, S.info, S.log_init_handle)) return Ref();
        if (!step(self, S.init_handle)) return Ref();
    }
    Ref flag = mcall(tvx::getattr(c, S.context), S.pop, S.prompt_recovery, Py_False);
    if (!flag) return Ref();
    if (tvx::setattr(self, S.prompt_recovery, flag.get()) < 0) return Ref();
    return result;
}

NO_ARGS_ENTRY(single_connect, kSingle, "connect", single_connect_impl)

Ref single_establish_connection_impl(State* st, PyObject* self) {
    const Strings& S = st->s;
    Ref con = self_attr(self, S.connection);
    if (!con) return Ref();
    PyObject* c = con.get();
    Ref learn = learn_decision(S, c);
    if (!learn) return Ref();
    int learning = tvx::truth(learn.get());
    if (learning < 0) return Ref();
    if (learning && !set(tvx::getattr(c, S.state_machine), S.learn_hostname, Py_True))
        return Ref();

    Ref context = tvx::getattr(c, S.context);
    if (!context) return Ref();
    if (!set_cred_list(st, context.get())) return Ref();
    Ref result = go_to_state(
        st, self, c, [c] { return Ref::borrow(c); }, S.st_any, context.get(), true);
    if (!result) return Ref();
    if (!mcall(context, S.pop, S.kw_cred_list, Py_None)) return Ref();

    learning = tvx::truth(learn.get());
    if (learning < 0) return Ref();
    if (learning) {
        Method get_name = lookup(c, S.get_learned_hostname);
        if (!get_name) return Ref();
        Ref spawn = tvx::getattr(c, S.spawn);
        if (!spawn) return Ref();
        Ref learned = invoke(get_name, nullptr, spawn.get());
        if (!learned) return Ref();
        Ref fallback = global(st, S.DEFAULT_LEARNED_HOSTNAME);
        if (!fallback) return Ref();
        int is_default = tvx::equal(learned.get(), fallback.get());
        if (is_default < 0) return Ref();
        if (is_default && !log_line(S, c, S.warning, [st, &S] {
                Ref pattern = global(st, S.DEFAULT_LEARNED_HOSTNAME);
                if (!pattern) return Ref();
                return mcall(S.warn_single_default, S.format, pattern.get());
            }))
            return Ref();
        if (tvx::setattr(c, S.learned_hostname, learned.get()) < 0) return Ref();
        if (!set(tvx::getattr(c, S.state_machine), S.learn_hostname, Py_False)) return Ref();
    }
    return result;
}

NO_ARGS_ENTRY(single_establish_connection, kSingle, "establish_connection",
              single_establish_connection_impl)

Ref single_init_handle_impl(State* st, PyObject* self) {
    const Strings& S = st->s;
    Ref con = self_attr(self, S.connection);
    if (!con) return Ref();
    PyObject* c = con.get();
    if (tvx::setattr(c, S.is_connected, Py_True) < 0) return Ref();
    if (!go_to_state(
            st, self, c, [c] { return Ref::borrow(c); }, S.st_enable, nullptr, false))
        return Ref();
    if (!init_commands_step(st, self, false)) return Ref();
    return tvx::none();
}

NO_ARGS_ENTRY(single_init_handle, kSingle, "init_handle", single_init_handle_impl)

// sleep(2) with the module-level sleep.
bool wait_two_seconds(State* st) {
    Ref sleep = global(st, st->s.sleep);
    if (!sleep) return false;
    return static_cast<bool>(tvx::call(sleep.get(), {st->two}));
}

Ref single_disconnect_impl(State* st, PyObject* self) {
    const Strings& S = st->s;
    Ref spawn = attr(self_attr(self, S.connection), S.spawn);
    if (!spawn) return Ref();
    if (!mcall(spawn, S.close)) return Ref();
    if (!wait_two_seconds(st)) return Ref();
    if (!set(self_attr(self, S.connection), S.is_connected, Py_False)) return Ref();
    return tvx::none();
}

NO_ARGS_ENTRY(single_disconnect, kSingle, "disconnect", single_disconnect_impl)

// ================================================================ BaseDualRpLinkBroker

ENTRY_DECL(dual_init, kDual) {
    ENTRY_STATE(kDual);
    Ref parsed[1];
    PyObject* connection = parse_connection(st, "__init__", ENTRY_ARGS, parsed);
    if (!connection) return nullptr;
    return init_next_in_mro(st, defining_class, self, connection);
}

// self.connection.<rp>.spawn
Ref rp_spawn(const Strings& S, PyObject* self, PyObject* rp) {
    return attr(attr(self_attr(self, S.connection), rp), S.spawn);
}

Ref dual_connect_impl(State* st, PyObject* self) {
    const Strings& S = st->s;
    Ref con = self_attr(self, S.connection);
    if (!con) return Ref();
    PyObject* c = con.get();
    for (PyObject* rp : {S.a, S.b}) {
        if (!log_line(S, c, S.info, [&S, self, rp] {
                Ref spawn = rp_spawn(S, self, rp);
                if (!spawn) return Ref();
                Ref text = tvx::str(spawn.get());
                return percent(S.log_dual_connection_to, text.get());
            }))
            return Ref();
    }
    if (!step(self, S.establish_connection)) return Ref();
    if (tvx::setattr(c, S.is_connected, Py_True) < 0) return Ref();
    Ref mit = tvx::getattr(c, S.mit);
    if (!mit) return Ref();
    int skip = tvx::truth(mit.get());
    if (skip < 0) return Ref();
    if (!skip) {
        const struct {
            PyObject* line;
            PyObject* step;
        } stages[] = {
            {S.log_designating, S.designate_handles},
            {S.log_init_active, S.init_active},
            {S.log_unlocking, S.unlock_standby},
            {S.log_init_standby, S.init_standby},
            {S.log_assigning, S.assign_ha_mode},
        };
        for (const auto& stage : stages) {
            if (!log_text(S, c, S.info, stage.line)) return Ref();
            if (!step(self, stage.step)) return Ref();
        }
    }
    if (!mcall(tvx::getattr(c, S.context), S.pop, S.prompt_recovery, Py_None)) return Ref();
    return tvx::none();
}

NO_ARGS_ENTRY(dual_connect, kDual, "connect", dual_connect_impl)

Ref dual_establish_connection_impl(State* st, PyObject* self) {
    const Strings& S = st->s;
    Ref con = self_attr(self, S.connection);
    if (!con) return Ref();
    PyObject* c = con.get();
    Ref learn = learn_decision(S, c);
    if (!learn) return Ref();
    int learning = tvx::truth(learn.get());
    if (learning < 0) return Ref();
    if (learning) {
        if (!set_learn_flag(S, tvx::getattr(c, S.a), Py_True)) return Ref();
        if (!set_learn_flag(S, tvx::getattr(c, S.b), Py_True)) return Ref();
    }

    Ref context = tvx::getattr(c, S.context);
    if (!context) return Ref();
    if (!set_cred_list(st, context.get())) return Ref();
    for (int count = 1; count <= 2; ++count) {
        for (PyObject* rp : {S.a, S.b}) {
            if (!go_to_state(
                    st, self, c, [c, rp] { return tvx::getattr(c, rp); }, S.st_any,
                    context.get(), true))
                return Ref();
        }
        if (count == 1) {
            for (PyObject* rp : {S.a, S.b}) {
                if (!mcall(attr(tvx::getattr(c, rp), S.spawn), S.sendline)) return Ref();
            }
        }
    }
    if (!mcall(context, S.pop, S.kw_cred_list, Py_None)) return Ref();

    learning = tvx::truth(learn.get());
    if (learning < 0) return Ref();
    if (!learning) return tvx::none();

    Ref found[2];
    for (int i = 0; i < 2; ++i) {
        Method get_name = lookup(c, S.get_learned_hostname);
        if (!get_name) return Ref();
        Ref spawn = attr(tvx::getattr(c, i == 0 ? S.a : S.b), S.spawn);
        if (!spawn) return Ref();
        found[i] = invoke(get_name, st->k.spawn, spawn.get());
        if (!found[i]) return Ref();
    }
    Ref fallback = global(st, S.DEFAULT_LEARNED_HOSTNAME);
    if (!fallback) return Ref();
    int a_found = tvx::not_equal(found[0].get(), fallback.get());
    if (a_found < 0) return Ref();
    Ref learned = a_found ? found[0] : found[1];
    fallback = global(st, S.DEFAULT_LEARNED_HOSTNAME);
    if (!fallback) return Ref();
    int is_default = tvx::equal(learned.get(), fallback.get());
    if (is_default < 0) return Ref();
    if (is_default && !log_line(S, c, S.warning, [st, &S] {
            Ref pattern = global(st, S.DEFAULT_LEARNED_HOSTNAME);
            if (!pattern) return Ref();
            return mcall(S.warn_dual_default, S.format, pattern.get());
        }))
        return Ref();
    if (tvx::setattr(c, S.learned_hostname, learned.get()) < 0) return Ref();
    if (!set_learn_flag(S, tvx::getattr(c, S.a), Py_False)) return Ref();
    if (!set_learn_flag(S, tvx::getattr(c, S.b), Py_False)) return Ref();
    return tvx::none();
}

NO_ARGS_ENTRY(dual_establish_connection, kDual, "establish_connection", dual_establish_connection_impl)

// con.<rp>.state_machine.current_state == "standby_locked"
int is_standby_locked(const Strings& S, PyObject* con, PyObject* rp) {
    Ref state = attr(attr(tvx::getattr(con, rp), S.state_machine), S.current_state);
    if (!state) return -1;
    return tvx::equal(state.get(), S.st_standby_locked);
}

Ref dual_designate_handles_impl(State* st, PyObject* self) {
    const Strings& S = st->s;
    Ref con = self_attr(self, S.connection);
    if (!con) return Ref();
    PyObject* c = con.get();
    PyObject* target_rp = S.rp_a;
    PyObject* other_rp = S.rp_b;
    int a_locked = is_standby_locked(S, c, S.a);
    if (a_locked < 0) return Ref();
    if (a_locked) {
        target_rp = S.rp_b;
        other_rp = S.rp_a;
    } else {
        int b_locked = is_standby_locked(S, c, S.b);
        if (b_locked < 0) return Ref();
        if (!b_locked && !log_text(S, c, S.debug, S.log_both_unlocked)) return Ref();
    }
    Ref target_handle = tvx::getattr(c, target_rp);
    if (!target_handle) return Ref();
    Ref other_handle = tvx::getattr(c, other_rp);
    if (!other_handle) return Ref();
    PyObject* target = target_handle.get();

    if (!go_to_state(
            st, self, c, [target] { return Ref::borrow(target); }, S.st_enable, nullptr, false))
        return Ref();
    if (!mcall(tvx::getattr(target, S.spawn), S.sendline, S.cmd_redundancy_stat)) return Ref();
    Method expect = lookup(tvx::getattr(target, S.spawn), S.expect);
    if (!expect) return Ref();
    Ref state = mcall(tvx::getattr(target, S.state_machine), S.get_state, S.st_enable);
    Ref pattern = attr(state, S.pattern);
    if (!pattern) return Ref();
    Ref exec_timeout = attr(tvx::getattr(c, S.settings), S.EXEC_TIMEOUT);
    if (!exec_timeout) return Ref();
    Ref answer = invoke(expect, st->k.timeout, pattern.get(), exec_timeout.get());
    Ref output = attr(answer, S.match_output);
    if (!output) return Ref();

    PyObject* target_role = nullptr;
    PyObject* other_role = nullptr;
    Ref match = re_search(st, S.role_active, output.get(), true);
    if (!match) return Ref();
    int found = tvx::truth(match.get());
    if (found < 0) return Ref();
    if (found) {
        target_role = S.role_active;
        other_role = S.role_standby;
    } else {
        match = re_search(st, S.role_standby, output.get(), true);
        if (!match) return Ref();
        found = tvx::truth(match.get());
        if (found < 0) return Ref();
        if (!found) {
            raise_connection_error(st, S.msg_designate);
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

NO_ARGS_ENTRY(dual_designate_handles, kDual, "designate_handles", dual_designate_handles_impl)

Ref dual_init_active_impl(State* st, PyObject* self) {
    if (!init_commands_step(st, self, false)) return Ref();
    return tvx::none();
}

NO_ARGS_ENTRY(dual_init_active, kDual, "init_active", dual_init_active_impl)

Ref dual_init_standby_impl(State* st, PyObject* self) {
    const Strings& S = st->s;
    Ref con = self_attr(self, S.connection);
    if (!con) return Ref();
    PyObject* c = con.get();
    if (!go_to_state(
            st, self, c, [&S, c] { return tvx::getattr(c, S.active); }, S.st_enable, nullptr,
            false))
        return Ref();
    if (!init_commands_step(st, self, true)) return Ref();
    return tvx::none();
}

NO_ARGS_ENTRY(dual_init_standby, kDual, "init_standby", dual_init_standby_impl)

Ref dual_assign_ha_mode_impl(State* st, PyObject* self) {
    const Strings& S = st->s;
    Ref con = self_attr(self, S.connection);
    if (!con) return Ref();
    PyObject* c = con.get();
    Method execute = lookup(c, S.execute);
    if (!execute) return Ref();
    Ref prompt_recovery = self_attr(self, S.prompt_recovery);
    if (!prompt_recovery) return Ref();
    Ref ret = invoke(execute, st->k.target_prompt_recovery, S.cmd_redundancy_state, S.role_active,
                     prompt_recovery.get());
    if (!ret) return Ref();
    Ref mode = re_search(st, S.pat_redundancy_mode, ret.get(), false);
    if (!mode) return Ref();
    int matched = tvx::truth(mode.get());
    if (matched < 0) return Ref();
    if (!matched) {
        raise_connection_error(st, S.msg_ha_mode);
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
    if (!log_line(S, c, S.debug, [&S, c] {
            Ref shown = attr(tvx::getattr(c, S.a), S.mode);
            return percent(S.log_mode_is, shown.get());
        }))
        return Ref();
    return tvx::none();
}

NO_ARGS_ENTRY(dual_assign_ha_mode, kDual, "assign_ha_mode", dual_assign_ha_mode_impl)

// self.connection.standby
Ref standby_handle(const Strings& S, PyObject* self) {
    return attr(self_attr(self, S.connection), S.standby);
}

Ref dual_unlock_standby_impl(State* st, PyObject* self) {
    const Strings& S = st->s;
    Ref commands = attr(attr(self_attr(self, S.connection), S.settings),
                        S.HA_STANDBY_UNLOCK_COMMANDS);
    if (!commands) return Ref();
    Method configure = lookup(self_attr(self, S.connection), S.configure);
    if (!configure) return Ref();
    Ref prompt_recovery = self_attr(self, S.prompt_recovery);
    if (!prompt_recovery) return Ref();
    if (!invoke(configure, st->k.prompt_recovery, commands.get(), prompt_recovery.get()))
        return Ref();
    if (!set(attr(standby_handle(S, self), S.state_machine), S.set_current_state, S.st_generic))
        return Ref();
    if (!mcall(attr(standby_handle(S, self), S.spawn), S.sendline)) return Ref();
    Method go_to = lookup(attr(standby_handle(S, self), S.state_machine), S.go_to);
    if (!go_to) return Ref();
    Ref go_spawn = attr(standby_handle(S, self), S.spawn);
    if (!go_spawn) return Ref();
    prompt_recovery = self_attr(self, S.prompt_recovery);
    if (!prompt_recovery) return Ref();
    if (!invoke(go_to, st->k.spawn_prompt_recovery_state, go_spawn.get(), prompt_recovery.get(),
                S.st_any))
        return Ref();
    return tvx::none();
}

NO_ARGS_ENTRY(dual_unlock_standby, kDual, "unlock_standby", dual_unlock_standby_impl)

Ref dual_lock_standby_impl(State* st, PyObject* self) {
    const Strings& S = st->s;
    Ref commands(PyList_New(0));
    if (!commands) return Ref();
    for (PyObject* line : {S.cfg_redundancy, S.cfg_main_cpu, S.cfg_no_standby_console}) {
        if (PyList_Append(commands.get(), line) < 0) return Ref();
    }
    Method configure = lookup(self_attr(self, S.connection), S.configure);
    if (!configure || !invoke(configure, nullptr, commands.get())) return Ref();
    return tvx::none();
}

NO_ARGS_ENTRY(dual_lock_standby, kDual, "lock_standby", dual_lock_standby_impl)

Ref dual_disconnect_impl(State* st, PyObject* self) {
    const Strings& S = st->s;
    for (PyObject* rp : {S.a, S.b}) {
        if (!mcall(rp_spawn(S, self, rp), S.close)) return Ref();
    }
    if (!wait_two_seconds(st)) return Ref();
    if (!set(self_attr(self, S.connection), S.is_connected, Py_False)) return Ref();
    return tvx::none();
}

NO_ARGS_ENTRY(dual_disconnect, kDual, "disconnect", dual_disconnect_impl)

#undef NO_ARGS_ENTRY


// ================================================================ method tables

#define METHOD(name, fn, doc) \
    {name, (PyCFunction)(void (*)(void))fn, BROKER_FLAGS, doc}
#define NO_ARGS_METHOD(name, fn, doc) \
    {name, (PyCFunction)(void (*)(void))fn, NO_ARGS_FLAGS, doc}

PyMethodDef common_methods[] = {
    METHOD("__init__", common_init,
           "__init__($self, /, connection)\n--\n\n"
           "Initializes\n\n"
           "Keeps the connection object and takes the prompt-recovery flag out of\n"
           "its context (key \"prompt_recovery\", False when absent)."),
    NO_ARGS_METHOD("get_connection_dialog", common_get_connection_dialog,
           "get_connection_dialog($self, /)\n--\n\n"
           "Creates and returns Dialog, for processing device connection\n\n"
           "By default the connection uses the state machine's dialog for any\n"
           "connection processing; any additional dialog that is needed is to be\n"
           "supplied here."),
    NO_ARGS_METHOD("set_init_commands", common_set_init_commands, "set_init_commands($self, /)\n--\n\n"),
    METHOD("execute_init_commands", common_execute_init_commands,
           "execute_init_commands($self, /, standby=False)\n--\n\n"
           "Executes the initialization commands on the device.\n"
           "On standy don't execute configure commands."),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef single_methods[] = {
    METHOD("__init__", single_init, "__init__($self, /, connection)\n--\n\n"),
    NO_ARGS_METHOD("connect", single_connect,
           "connect($self, /)\n--\n\nPerforms the device connection and initialization"),
    NO_ARGS_METHOD("establish_connection", single_establish_connection,
           "establish_connection($self, /)\n--\n\n"
           "Reads the device state and brings it to the right state"),
    NO_ARGS_METHOD("init_handle", single_init_handle,
           "init_handle($self, /)\n--\n\nbring device handle to enable state"),
    NO_ARGS_METHOD("disconnect", single_disconnect,
           "disconnect($self, /)\n--\n\nDisconnect from the device"),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef dual_methods[] = {
    METHOD("__init__", dual_init, "__init__($self, /, connection)\n--\n\n"),
    NO_ARGS_METHOD("connect", dual_connect,
           "connect($self, /)\n--\n\nConnects, initializes and designates handle"),
    NO_ARGS_METHOD("establish_connection", dual_establish_connection,
           "establish_connection($self, /)\n--\n\n"
           "Reads the device state and brings both RP to the right state"),
    NO_ARGS_METHOD("designate_handles", dual_designate_handles,
           "designate_handles($self, /)\n--\n\n"
           "Identifies the Role of each handle and designates if\n"
           "it is active or standby"),
    NO_ARGS_METHOD("init_active", dual_init_active,
           "init_active($self, /)\n--\n\nPerforms active RP initialization"),
    NO_ARGS_METHOD("init_standby", dual_init_standby,
           "init_standby($self, /)\n--\n\nPerforms Standby RP initialization"),
    NO_ARGS_METHOD("assign_ha_mode", dual_assign_ha_mode,
           "assign_ha_mode($self, /)\n--\n\nGets the HA mode for this chassis"),
    NO_ARGS_METHOD("unlock_standby", dual_unlock_standby,
           "unlock_standby($self, /)\n--\n\nUnlocks standby handle"),
    NO_ARGS_METHOD("lock_standby", dual_lock_standby,
           "lock_standby($self, /)\n--\n\nlock standby handle"),
    NO_ARGS_METHOD("disconnect", dual_disconnect,
           "disconnect($self, /)\n--\n\nDisconnect the connection to both RP's"),
    {nullptr, nullptr, 0, nullptr},
};

#undef METHOD
#undef NO_ARGS_METHOD

#ifdef OWN_STEPS_DIRECT
// The implementation behind each method without parameters, by its
// definition (see step); the tables are laid out like the method tables.
Impl own_impl(const PyMethodDef* def, Kind* kind) {
    static const Impl common_impls[] = {nullptr, common_get_connection_dialog_impl,
                                        common_set_init_commands_impl, execute_init_commands_plain};
    static const Impl single_impls[] = {nullptr, single_connect_impl,
                                        single_establish_connection_impl, single_init_handle_impl,
                                        single_disconnect_impl};
    static const Impl dual_impls[] = {
        nullptr,                        dual_connect_impl,          dual_establish_connection_impl,
        dual_designate_handles_impl,    dual_init_active_impl,      dual_init_standby_impl,
        dual_assign_ha_mode_impl,       dual_unlock_standby_impl,   dual_lock_standby_impl,
        dual_disconnect_impl};
    const struct {
        const PyMethodDef* methods;
        const Impl* impls;
        std::size_t count;
        Kind kind;
    } tables[] = {
        {common_methods, common_impls, sizeof common_impls / sizeof common_impls[0], kCommon},
        {single_methods, single_impls, sizeof single_impls / sizeof single_impls[0], kSingle},
        {dual_methods, dual_impls, sizeof dual_impls / sizeof dual_impls[0], kDual},
    };
    for (const auto& table : tables) {
        if (def >= table.methods && def < table.methods + table.count) {
            *kind = table.kind;
            return table.impls[def - table.methods];
        }
    }
    return nullptr;
}
static_assert(sizeof common_methods / sizeof common_methods[0] == 5 &&
                  sizeof single_methods / sizeof single_methods[0] == 6 &&
                  sizeof dual_methods / sizeof dual_methods[0] == 11,
              "the implementation tables follow the method tables");
#endif

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

// type(name, bases, ns) with the methods of `methods`, bound in the module
// and made the module's own (the state holds the class, the class the
// module).
Ref build_class(State* st, PyObject* module, const char* name, PyObject* base, const char* doc,
                PyMethodDef* methods, Kind kind, PyObject* module_name) {
    Ref bases = tvx::make_tuple({base});
    if (!bases) return Ref();
    Ref cls = tvx::make_class(name, bases.get(), module_name, doc);
    if (!cls) return Ref();
    for (PyMethodDef* def = methods; def->ml_name; ++def) {
        if (tvx::add_method(cls.get(), def) < 0) return Ref();
    }
    if (tvx::hold_module(cls.get(), module) < 0) return Ref();
    st->classes[kind] = Ref(cls).release();
    if (PyDict_SetItemString(st->globals, name, cls.get()) < 0) return Ref();
    return cls;
}

// from <module> import <name>, bound in the module as <name>.
int bind_from(State* st, const char* module, PyObject* name) {
    Ref mod(PyImport_ImportModule(module));
    if (!mod) return -1;
    Ref value = tvx::import_from(mod.get(), name);
    if (!value) return -1;
    return PyDict_SetItem(st->globals, name, value.get());
}

int exec_module(PyObject* module) {
    State* st = static_cast<State*>(PyModule_GetState(module));
    if (!st) return -1;
    if (make_names(st) < 0) return -1;
    const Strings& S = st->s;
    st->globals = Ref::borrow(PyModule_GetDict(module)).release();
    if (!st->globals) return -1;
    st->two = PyLong_FromLong(2);
    if (!st->two) return -1;
    Ref debug = tvx::builtin("__debug__");
    if (!debug) return -1;
    int assertions = tvx::truth(debug.get());
    if (assertions < 0) return -1;
    st->assertions = tvx::boolean(assertions != 0).release();

    // import re
    Ref re(PyImport_ImportModule("re"));
    if (!re || PyDict_SetItem(st->globals, S.re, re.get()) < 0) return -1;
    if (bind_from(st, "time", S.sleep) < 0) return -1;
    if (bind_from(st, "tarvix.eal.dialogs", S.Dialog) < 0) return -1;
    if (bind_from(st, "tarvix", S.log) < 0) return -1;
    if (bind_from(st, "tarvix.core.errors", S.ConnectionError) < 0) return -1;
    if (bind_from(st, "tarvix.bases.connection", S.DEFAULT_LEARNED_HOSTNAME) < 0) return -1;

    Ref module_name(PyUnicode_FromString(kModuleName));
    if (!module_name) return -1;
    Ref common = build_class(st, module, "BaseCommonRpLinkBroker",
                             reinterpret_cast<PyObject*>(&PyBaseObject_Type), kCommonDoc,
                             common_methods, kCommon, module_name.get());
    if (!common) return -1;
    if (!build_class(st, module, "BaseSingleRpLinkBroker", common.get(), kSingleDoc, single_methods,
                     kSingle, module_name.get()))
        return -1;
    if (!build_class(st, module, "BaseDualRpLinkBroker", common.get(), kDualDoc, dual_methods,
                     kDual, module_name.get()))
        return -1;
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    State* st = static_cast<State*>(PyModule_GetState(module));
    if (!st) return 0;
    for (std::size_t i = 0; i < kStateRefs; ++i) Py_VISIT(state_refs(st)[i]);
    return 0;
}

int module_clear(PyObject* module) {
    State* st = static_cast<State*>(PyModule_GetState(module));
    if (!st) return 0;
    g_states.forget(st);
    for (std::size_t i = 0; i < kStateRefs; ++i) Py_CLEAR(state_refs(st)[i]);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    kModuleDoc,
    sizeof(State),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_link_broker(void) {
    return PyModuleDef_Init(&module_def);
}
