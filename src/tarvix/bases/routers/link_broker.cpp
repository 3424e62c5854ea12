// tarvix.bases.routers.link_broker: the link brokers through which a router
// connection of the framework connects to and disconnects from a device with
// one route processor (BaseSingleRpLinkBroker) or two (BaseDualRpLinkBroker).
//
// The classes are ordinary Python classes made by type(); their methods are
// method descriptors.  Every step one method takes through another goes
// through attribute lookup on the broker (tvx::call_self), every call into a
// host object through tvx::call / tvx::call_method, and module-level names
// (re, sleep, Dialog, ConnectionError, DEFAULT_LEARNED_HOSTNAME) are read
// from the module's namespace when they are used.  Values are computed in
// the order the equivalent Python expression evaluates them: the bound
// method first, then its arguments left to right.

#include "pyclass.hpp"

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
    PyObject *cfg_redundancy, *cfg_main_cpu, *cfg_standby_console;
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
        {&S.cfg_standby_console, "standby console enable"},
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

// ---------------------------------------------------------------- small helpers

// obj.name, passing on an earlier failure (empty obj).
Ref attr(const Ref& obj, PyObject* name) {
    if (!obj) return Ref();
    return tvx::getattr(obj.get(), name);
}

// A module-level name at the time of use.
Ref global(PyObject* name) { return tvx::load_global(g_globals.get(), name); }

// con.log.<level>(text % arg) (or text when arg is null): the bound method
// is looked up before the message is built, as the Python expression does.
// `make` builds the message.
template <class Make>
bool log_line(PyObject* con, PyObject* level, Make make) {
    Ref log = tvx::getattr(con, S.log);
    Ref fn = attr(log, level);
    if (!fn) return false;
    Ref message = make();
    if (!message) return false;
    return static_cast<bool>(tvx::call(fn.get(), {message.get()}));
}

bool log_text(PyObject* con, PyObject* level, PyObject* text) {
    return log_line(con, level, [text] { return Ref::borrow(text); });
}

// Sets obj.name = value; false on failure.
bool set(const Ref& obj, PyObject* name, PyObject* value) {
    if (!obj || !value) return false;
    return tvx::setattr(obj.get(), name, value) == 0;
}

// isinstance(obj, list) as the builtin evaluates it.
int is_list_instance(PyObject* obj) {
    return PyObject_IsInstance(obj, reinterpret_cast<PyObject*>(&PyList_Type));
}

// assert isinstance(self.<name>, list), "Init commands must be a list"
bool assert_list_attribute(PyObject* self, PyObject* name) {
    Ref value = tvx::getattr(self, name);
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
    Ref search = attr(re, S.search);
    if (!search) return Ref();
    if (!ignore_case) return tvx::call(search.get(), {pattern, text});
    Ref re_again = global(S.re);
    Ref flag = attr(re_again, S.IGNORECASE);
    if (!flag) return Ref();
    return tvx::call(search.get(), {pattern, text, flag.get()});
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
    Ref update = tvx::getattr(context, S.update);
    if (!update) return false;
    Ref creds = tvx::call_method(context, S.get, {S.login_creds});
    if (!creds) return false;
    return static_cast<bool>(tvx::call(update.get(), {}, {Kw{S.kw_cred_list, creds.get()}}));
}

// handle.state_machine.go_to(state, handle.spawn, context=<context>,
//     prompt_recovery=self.prompt_recovery, timeout=con.connection_timeout
//     [, dialog=self.get_connection_dialog()])
// where handle is what `handle_of` returns each time it is asked (the
// connection itself for a single RP).  A null context means con.context.
template <class HandleOf>
Ref go_to_state(PyObject* self, PyObject* con, HandleOf handle_of, PyObject* state,
                PyObject* context, bool with_dialog) {
    Ref go_to = attr(attr(handle_of(), S.state_machine), S.go_to);
    if (!go_to) return Ref();
    Ref spawn = attr(handle_of(), S.spawn);
    if (!spawn) return Ref();
    Ref ctx = context ? Ref::borrow(context) : tvx::getattr(con, S.context);
    if (!ctx) return Ref();
    Ref prompt_recovery = tvx::getattr(self, S.prompt_recovery);
    if (!prompt_recovery) return Ref();
    Ref timeout = tvx::getattr(con, S.connection_timeout);
    if (!timeout) return Ref();
    if (!with_dialog) {
        return tvx::call(go_to.get(), {state, spawn.get()},
                         {Kw{S.context, ctx.get()}, Kw{S.prompt_recovery, prompt_recovery.get()},
                          Kw{S.kw_timeout, timeout.get()}});
    }
    Ref dialog = tvx::call_self(self, S.get_connection_dialog);
    if (!dialog) return Ref();
    return tvx::call(go_to.get(), {state, spawn.get()},
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

PyObject* parse_connection(const char* fname, PyObject* args, PyObject* kwargs, Ref* out) {
    PyObject* const names[] = {S.connection};
    if (!tvx::parse_args(fname, args, kwargs, names, 1, 1, out)) return nullptr;
    return out[0].get();
}

#define NO_ARGS(fname)                                                \
    do {                                                              \
        if (!tvx::no_args(fname, args, kwargs)) return nullptr;       \
    } while (0)

// ================================================================ BaseCommonRpLinkBroker

PyObject* common_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref parsed[1];
    PyObject* connection = parse_connection("__init__", args, kwargs, parsed);
    if (!connection) return nullptr;
    if (tvx::setattr(self, S.connection, connection) < 0) return nullptr;
    Ref flag = tvx::call_method(tvx::getattr(connection, S.context).get(), S.pop,
                                {S.prompt_recovery, Py_False});
    if (!flag) return nullptr;
    if (tvx::setattr(self, S.prompt_recovery, flag.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* common_get_connection_dialog(PyObject* /*self*/, PyObject* args, PyObject* kwargs) {
    NO_ARGS("get_connection_dialog");
    Ref dialog_class = global(S.Dialog);
    if (!dialog_class) return nullptr;
    Ref statements(PyList_New(0));
    if (!statements) return nullptr;
    return tvx::call(dialog_class.get(), {statements.get()}).release();
}

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

PyObject* common_set_init_commands(PyObject* self, PyObject* args, PyObject* kwargs) {
    NO_ARGS("set_init_commands");
    Ref con = tvx::getattr(self, S.connection);
    if (!con) return nullptr;
    if (!choose_commands(self, con.get(), S.init_exec_commands, S.HA_INIT_EXEC_COMMANDS,
                         S.init_exec_commands))
        return nullptr;
    if (!choose_commands(self, con.get(), S.init_config_commands, S.HA_INIT_CONFIG_COMMANDS,
                         S.init_config_commands))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* common_execute_init_commands(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* const names[] = {S.standby};
    Ref parsed[1];
    if (!tvx::parse_args("execute_init_commands", args, kwargs, names, 1, 0, parsed))
        return nullptr;
    Ref standby = parsed[0] ? parsed[0] : tvx::boolean(false);

    if (!tvx::call_self(self, S.set_init_commands)) return nullptr;
    if (g_assertions) {
        if (!assert_list_attribute(self, S.init_exec_commands)) return nullptr;
        if (!assert_list_attribute(self, S.init_config_commands)) return nullptr;
    }
    Ref con = tvx::getattr(self, S.connection);
    if (!con) return nullptr;

    Ref exec_commands = tvx::getattr(self, S.init_exec_commands);
    if (!exec_commands) return nullptr;
    Ref iterator(PyObject_GetIter(exec_commands.get()));
    if (!iterator) return nullptr;
    for (;;) {
        Ref command(PyIter_Next(iterator.get()));
        if (!command) {
            if (PyErr_Occurred()) return nullptr;
            break;
        }
        Ref execute = tvx::getattr(con.get(), S.execute);
        if (!execute) return nullptr;
        Ref prompt_recovery = tvx::getattr(self, S.prompt_recovery);
        if (!prompt_recovery) return nullptr;
        if (!tvx::call(execute.get(), {command.get()},
                       {Kw{S.prompt_recovery, prompt_recovery.get()}}))
            return nullptr;
    }

    int on_standby = tvx::truth(standby.get());
    if (on_standby < 0) return nullptr;
    if (on_standby) Py_RETURN_NONE;
    Ref config_commands = tvx::getattr(self, S.init_config_commands);
    if (!config_commands) return nullptr;
    Py_ssize_t length = PyObject_Size(config_commands.get());
    if (length < 0) return nullptr;
    if (length == 0) Py_RETURN_NONE;
    Ref configure = tvx::getattr(con.get(), S.configure);
    if (!configure) return nullptr;
    Ref lines = tvx::getattr(self, S.init_config_commands);
    if (!lines) return nullptr;
    Ref prompt_recovery = tvx::getattr(self, S.prompt_recovery);
    if (!prompt_recovery) return nullptr;
    if (!tvx::call(configure.get(), {lines.get()}, {Kw{S.prompt_recovery, prompt_recovery.get()}}))
        return nullptr;
    Py_RETURN_NONE;
}

// ================================================================ BaseSingleRpLinkBroker

PyObject* single_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref parsed[1];
    PyObject* connection = parse_connection("__init__", args, kwargs, parsed);
    if (!connection) return nullptr;
    return init_next_in_mro(g_single_cls.get(), self, connection);
}

PyObject* single_connect(PyObject* self, PyObject* args, PyObject* kwargs) {
    NO_ARGS("connect");
    Ref con = tvx::getattr(self, S.connection);
    if (!con) return nullptr;
    PyObject* c = con.get();
    if (!log_line(c, S.info, [c] {
            Ref hostname = tvx::getattr(c, S.hostname);
            return tvx::percent(S.log_connection_to, hostname.get());
        }))
        return nullptr;
    Ref result = tvx::call_self(self, S.establish_connection);
    if (!result) return nullptr;
    Ref mit = tvx::getattr(c, S.mit);
    if (!mit) return nullptr;
    int skip = tvx::truth(mit.get());
    if (skip < 0) return nullptr;
    if (!skip) {
        if (!log_text(c, S.info, S.log_init_handle)) return nullptr;
        if (!tvx::call_self(self, S.init_handle)) return nullptr;
    }
    Ref flag = tvx::call_method(tvx::getattr(c, S.context).get(), S.pop,
                                {S.prompt_recovery, Py_False});
    if (!flag) return nullptr;
    if (tvx::setattr(self, S.prompt_recovery, flag.get()) < 0) return nullptr;
    return result.release();
}

PyObject* single_establish_connection(PyObject* self, PyObject* args, PyObject* kwargs) {
    NO_ARGS("establish_connection");
    Ref con = tvx::getattr(self, S.connection);
    if (!con) return nullptr;
    PyObject* c = con.get();
    Ref learn = learn_decision(c);
    if (!learn) return nullptr;
    int learning = tvx::truth(learn.get());
    if (learning < 0) return nullptr;
    if (learning && !set(tvx::getattr(c, S.state_machine), S.learn_hostname, Py_True))
        return nullptr;

    Ref context = tvx::getattr(c, S.context);
    if (!context) return nullptr;
    if (!set_cred_list(context.get())) return nullptr;
    Ref result = go_to_state(
        self, c, [c] { return Ref::borrow(c); }, S.st_any, context.get(), true);
    if (!result) return nullptr;
    if (!tvx::call_method(context.get(), S.pop, {S.kw_cred_list, Py_None})) return nullptr;

    learning = tvx::truth(learn.get());
    if (learning < 0) return nullptr;
    if (learning) {
        Ref get_name = tvx::getattr(c, S.get_learned_hostname);
        if (!get_name) return nullptr;
        Ref spawn = tvx::getattr(c, S.spawn);
        if (!spawn) return nullptr;
        Ref learned = tvx::call(get_name.get(), {spawn.get()});
        if (!learned) return nullptr;
        Ref fallback = global(S.DEFAULT_LEARNED_HOSTNAME);
        if (!fallback) return nullptr;
        int is_default = tvx::equal(learned.get(), fallback.get());
        if (is_default < 0) return nullptr;
        if (is_default && !log_line(c, S.warning, [] {
                Ref pattern = global(S.DEFAULT_LEARNED_HOSTNAME);
                if (!pattern) return Ref();
                return tvx::call_method(S.warn_single_default, S.format, {pattern.get()});
            }))
            return nullptr;
        if (tvx::setattr(c, S.learned_hostname, learned.get()) < 0) return nullptr;
        if (!set(tvx::getattr(c, S.state_machine), S.learn_hostname, Py_False)) return nullptr;
    }
    return result.release();
}

PyObject* single_init_handle(PyObject* self, PyObject* args, PyObject* kwargs) {
    NO_ARGS("init_handle");
    Ref con = tvx::getattr(self, S.connection);
    if (!con) return nullptr;
    PyObject* c = con.get();
    if (tvx::setattr(c, S.is_connected, Py_True) < 0) return nullptr;
    if (!go_to_state(
            self, c, [c] { return Ref::borrow(c); }, S.st_enable, nullptr, false))
        return nullptr;
    if (!tvx::call_self(self, S.execute_init_commands)) return nullptr;
    Py_RETURN_NONE;
}

// sleep(2) with the module-level sleep.
bool wait_two_seconds() {
    Ref sleep = global(S.sleep);
    if (!sleep) return false;
    return static_cast<bool>(tvx::call(sleep.get(), {g_two.get()}));
}

PyObject* single_disconnect(PyObject* self, PyObject* args, PyObject* kwargs) {
    NO_ARGS("disconnect");
    Ref spawn = attr(tvx::getattr(self, S.connection), S.spawn);
    if (!spawn) return nullptr;
    if (!tvx::call_method(spawn.get(), S.close)) return nullptr;
    if (!wait_two_seconds()) return nullptr;
    if (!set(tvx::getattr(self, S.connection), S.is_connected, Py_False)) return nullptr;
    Py_RETURN_NONE;
}

// ================================================================ BaseDualRpLinkBroker

PyObject* dual_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref parsed[1];
    PyObject* connection = parse_connection("__init__", args, kwargs, parsed);
    if (!connection) return nullptr;
    return init_next_in_mro(g_dual_cls.get(), self, connection);
}

// self.connection.<rp>.spawn
Ref rp_spawn(PyObject* self, PyObject* rp) {
    return attr(attr(tvx::getattr(self, S.connection), rp), S.spawn);
}

PyObject* dual_connect(PyObject* self, PyObject* args, PyObject* kwargs) {
    NO_ARGS("connect");
    Ref con = tvx::getattr(self, S.connection);
    if (!con) return nullptr;
    PyObject* c = con.get();
    for (PyObject* rp : {S.a, S.b}) {
        if (!log_line(c, S.info, [self, rp] {
                Ref spawn = rp_spawn(self, rp);
                if (!spawn) return Ref();
                Ref text = tvx::str(spawn.get());
                return tvx::percent(S.log_dual_connection_to, text.get());
            }))
            return nullptr;
    }
    if (!tvx::call_self(self, S.establish_connection)) return nullptr;
    if (tvx::setattr(c, S.is_connected, Py_True) < 0) return nullptr;
    Ref mit = tvx::getattr(c, S.mit);
    if (!mit) return nullptr;
    int skip = tvx::truth(mit.get());
    if (skip < 0) return nullptr;
    if (!skip) {
        const struct {
            PyObject* line;
            PyObject* step;
        } stages[] = {
            {S.log_designating, S.designate_handles}, {S.log_init_active, S.init_active},
            {S.log_unlocking, S.unlock_standby},      {S.log_init_standby, S.init_standby},
            {S.log_assigning, S.assign_ha_mode},
        };
        for (const auto& stage : stages) {
            if (!log_text(c, S.info, stage.line)) return nullptr;
            if (!tvx::call_self(self, stage.step)) return nullptr;
        }
    }
    if (!tvx::call_method(tvx::getattr(c, S.context).get(), S.pop, {S.prompt_recovery, Py_None}))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* dual_establish_connection(PyObject* self, PyObject* args, PyObject* kwargs) {
    NO_ARGS("establish_connection");
    Ref con = tvx::getattr(self, S.connection);
    if (!con) return nullptr;
    PyObject* c = con.get();
    Ref learn = learn_decision(c);
    if (!learn) return nullptr;
    int learning = tvx::truth(learn.get());
    if (learning < 0) return nullptr;
    if (learning) {
        if (!set_learn_flag(tvx::getattr(c, S.a), Py_True)) return nullptr;
        if (!set_learn_flag(tvx::getattr(c, S.b), Py_True)) return nullptr;
    }

    Ref context = tvx::getattr(c, S.context);
    if (!context) return nullptr;
    if (!set_cred_list(context.get())) return nullptr;
    for (int count = 1; count <= 2; ++count) {
        for (PyObject* rp : {S.a, S.b}) {
            if (!go_to_state(
                    self, c, [c, rp] { return tvx::getattr(c, rp); }, S.st_any, context.get(),
                    true))
                return nullptr;
        }
        if (count == 1) {
            for (PyObject* rp : {S.a, S.b}) {
                Ref spawn = attr(tvx::getattr(c, rp), S.spawn);
                if (!spawn || !tvx::call_method(spawn.get(), S.sendline)) return nullptr;
            }
        }
    }
    if (!tvx::call_method(context.get(), S.pop, {S.kw_cred_list, Py_None})) return nullptr;

    learning = tvx::truth(learn.get());
    if (learning < 0) return nullptr;
    if (!learning) Py_RETURN_NONE;

    Ref found[2];
    for (int i = 0; i < 2; ++i) {
        Ref get_name = tvx::getattr(c, S.get_learned_hostname);
        if (!get_name) return nullptr;
        Ref spawn = attr(tvx::getattr(c, i == 0 ? S.a : S.b), S.spawn);
        if (!spawn) return nullptr;
        found[i] = tvx::call(get_name.get(), {}, {Kw{S.spawn, spawn.get()}});
        if (!found[i]) return nullptr;
    }
    Ref fallback = global(S.DEFAULT_LEARNED_HOSTNAME);
    if (!fallback) return nullptr;
    int a_found = tvx::not_equal(found[0].get(), fallback.get());
    if (a_found < 0) return nullptr;
    Ref learned = a_found ? found[0] : found[1];
    fallback = global(S.DEFAULT_LEARNED_HOSTNAME);
    if (!fallback) return nullptr;
    int is_default = tvx::equal(learned.get(), fallback.get());
    if (is_default < 0) return nullptr;
    if (is_default && !log_line(c, S.warning, [] {
            Ref pattern = global(S.DEFAULT_LEARNED_HOSTNAME);
            if (!pattern) return Ref();
            return tvx::call_method(S.warn_dual_default, S.format, {pattern.get()});
        }))
        return nullptr;
    if (tvx::setattr(c, S.learned_hostname, learned.get()) < 0) return nullptr;
    if (!set_learn_flag(tvx::getattr(c, S.a), Py_False)) return nullptr;
    if (!set_learn_flag(tvx::getattr(c, S.b), Py_False)) return nullptr;
    Py_RETURN_NONE;
}

// con.<rp>.state_machine.current_state == "standby_locked"
int is_standby_locked(PyObject* con, PyObject* rp) {
    Ref state = attr(attr(tvx::getattr(con, rp), S.state_machine), S.current_state);
    if (!state) return -1;
    return tvx::equal(state.get(), S.st_standby_locked);
}

PyObject* dual_designate_handles(PyObject* self, PyObject* args, PyObject* kwargs) {
    NO_ARGS("designate_handles");
    Ref con = tvx::getattr(self, S.connection);
    if (!con) return nullptr;
    PyObject* c = con.get();
    PyObject* target_rp = S.rp_a;
    PyObject* other_rp = S.rp_b;
    int a_locked = is_standby_locked(c, S.a);
    if (a_locked < 0) return nullptr;
    if (a_locked) {
        target_rp = S.rp_b;
        other_rp = S.rp_a;
    } else {
        int b_locked = is_standby_locked(c, S.b);
        if (b_locked < 0) return nullptr;
        if (!b_locked && !log_text(c, S.debug, S.log_both_unlocked)) return nullptr;
    }
    Ref target_handle = tvx::getattr(c, target_rp);
    if (!target_handle) return nullptr;
    Ref other_handle = tvx::getattr(c, other_rp);
    if (!other_handle) return nullptr;
    PyObject* target = target_handle.get();

    if (!go_to_state(
            self, c, [target] { return Ref::borrow(target); }, S.st_enable, nullptr, false))
        return nullptr;
    Ref spawn = tvx::getattr(target, S.spawn);
    if (!spawn || !tvx::call_method(spawn.get(), S.sendline, {S.cmd_redundancy_stat}))
        return nullptr;
    Ref expect = attr(tvx::getattr(target, S.spawn), S.expect);
    if (!expect) return nullptr;
    Ref state = tvx::call_method(tvx::getattr(target, S.state_machine).get(), S.get_state,
                                 {S.st_enable});
    Ref pattern = attr(state, S.pattern);
    if (!pattern) return nullptr;
    Ref exec_timeout = attr(tvx::getattr(c, S.settings), S.EXEC_TIMEOUT);
    if (!exec_timeout) return nullptr;
    Ref answer = tvx::call(expect.get(), {pattern.get()}, {Kw{S.kw_timeout, exec_timeout.get()}});
    Ref output = attr(answer, S.match_output);
    if (!output) return nullptr;

    PyObject* target_role = nullptr;
    PyObject* other_role = nullptr;
    Ref match = re_search(S.role_active, output.get(), true);
    if (!match) return nullptr;
    int found = tvx::truth(match.get());
    if (found < 0) return nullptr;
    if (found) {
        target_role = S.role_active;
        other_role = S.role_standby;
    } else {
        match = re_search(S.role_standby, output.get(), true);
        if (!match) return nullptr;
        found = tvx::truth(match.get());
        if (found < 0) return nullptr;
        if (!found) return raise_connection_error(S.msg_designate);
        target_role = S.role_standby;
        other_role = S.role_active;
    }
    if (!set(target_handle, S.role, target_role)) return nullptr;
    if (!set(other_handle, S.role, other_role)) return nullptr;
    if (tvx::setattr(c, S.handles_designated, Py_True) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* dual_init_active(PyObject* self, PyObject* args, PyObject* kwargs) {
    NO_ARGS("init_active");
    if (!tvx::call_self(self, S.execute_init_commands)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* dual_init_standby(PyObject* self, PyObject* args, PyObject* kwargs) {
    NO_ARGS("init_standby");
    Ref con = tvx::getattr(self, S.connection);
    if (!con) return nullptr;
    PyObject* c = con.get();
    if (!go_to_state(
            self, c, [c] { return tvx::getattr(c, S.active); }, S.st_enable, nullptr, false))
        return nullptr;
    if (!tvx::call_self(self, S.execute_init_commands, {}, {Kw{S.standby, Py_True}}))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* dual_assign_ha_mode(PyObject* self, PyObject* args, PyObject* kwargs) {
    NO_ARGS("assign_ha_mode");
    Ref con = tvx::getattr(self, S.connection);
    if (!con) return nullptr;
    PyObject* c = con.get();
    Ref execute = tvx::getattr(c, S.execute);
    if (!execute) return nullptr;
    Ref prompt_recovery = tvx::getattr(self, S.prompt_recovery);
    if (!prompt_recovery) return nullptr;
    Ref ret = tvx::call(execute.get(), {S.cmd_redundancy_state},
                        {Kw{S.kw_target, S.role_active}, Kw{S.prompt_recovery, prompt_recovery.get()}});
    if (!ret) return nullptr;
    Ref mode = re_search(S.pat_redundancy_mode, ret.get(), false);
    if (!mode) return nullptr;
    int matched = tvx::truth(mode.get());
    if (matched < 0) return nullptr;
    if (!matched) return raise_connection_error(S.msg_ha_mode);

    Ref groups = tvx::call_method(mode.get(), S.groups);
    if (!groups) return nullptr;
    Ref first(PySequence_GetItem(groups.get(), 0));
    if (!first) return nullptr;
    Ref ha_mode = tvx::call_method(first.get(), S.strip);
    if (!ha_mode) return nullptr;
    if (!set(tvx::getattr(c, S.a), S.mode, ha_mode.get())) return nullptr;
    if (!set(attr(tvx::getattr(self, S.connection), S.b), S.mode, ha_mode.get())) return nullptr;
    if (!log_line(c, S.debug, [c] {
            Ref shown = attr(tvx::getattr(c, S.a), S.mode);
            return tvx::percent(S.log_mode_is, shown.get());
        }))
        return nullptr;
    Py_RETURN_NONE;
}

// self.connection.standby
Ref standby_handle(PyObject* self) {
    return attr(tvx::getattr(self, S.connection), S.standby);
}

PyObject* dual_unlock_standby(PyObject* self, PyObject* args, PyObject* kwargs) {
    NO_ARGS("unlock_standby");
    Ref commands = attr(attr(tvx::getattr(self, S.connection), S.settings),
                        S.HA_STANDBY_UNLOCK_COMMANDS);
    if (!commands) return nullptr;
    Ref configure = attr(tvx::getattr(self, S.connection), S.configure);
    if (!configure) return nullptr;
    Ref prompt_recovery = tvx::getattr(self, S.prompt_recovery);
    if (!prompt_recovery) return nullptr;
    if (!tvx::call(configure.get(), {commands.get()},
                   {Kw{S.prompt_recovery, prompt_recovery.get()}}))
        return nullptr;
    if (!set(attr(standby_handle(self), S.state_machine), S.set_current_state, S.st_generic))
        return nullptr;
    Ref spawn = attr(standby_handle(self), S.spawn);
    if (!spawn || !tvx::call_method(spawn.get(), S.sendline)) return nullptr;
    Ref go_to = attr(attr(standby_handle(self), S.state_machine), S.go_to);
    if (!go_to) return nullptr;
    Ref go_spawn = attr(standby_handle(self), S.spawn);
    if (!go_spawn) return nullptr;
    prompt_recovery = tvx::getattr(self, S.prompt_recovery);
    if (!prompt_recovery) return nullptr;
    if (!tvx::call(go_to.get(), {},
                   {Kw{S.spawn, go_spawn.get()}, Kw{S.prompt_recovery, prompt_recovery.get()},
                    Kw{S.kw_to_state, S.st_any}}))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* dual_lock_standby(PyObject* self, PyObject* args, PyObject* kwargs) {
    NO_ARGS("lock_standby");
    Ref commands(PyList_New(0));
    if (!commands) return nullptr;
    for (PyObject* line : {S.cfg_redundancy, S.cfg_main_cpu, S.cfg_standby_console}) {
        if (PyList_Append(commands.get(), line) < 0) return nullptr;
    }
    Ref configure = attr(tvx::getattr(self, S.connection), S.configure);
    if (!configure || !tvx::call(configure.get(), {commands.get()})) return nullptr;
    Py_RETURN_NONE;
}

PyObject* dual_disconnect(PyObject* self, PyObject* args, PyObject* kwargs) {
    NO_ARGS("disconnect");
    for (PyObject* rp : {S.a, S.b}) {
        Ref spawn = rp_spawn(self, rp);
        if (!spawn || !tvx::call_method(spawn.get(), S.close)) return nullptr;
    }
    if (!wait_two_seconds()) return nullptr;
    if (!set(tvx::getattr(self, S.connection), S.is_connected, Py_False)) return nullptr;
    Py_RETURN_NONE;
}

#undef NO_ARGS

// ================================================================ method tables

#define METHOD(name, fn, doc) \
    {name, (PyCFunction)(void (*)(void))fn, METH_VARARGS | METH_KEYWORDS, doc}

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
Ref build_class(const char* name, PyObject* base, const char* doc, PyMethodDef* methods,
                PyObject* module_name) {
    Ref bases = tvx::make_tuple({base});
    if (!bases) return Ref();
    Ref cls = tvx::make_class(name, bases.get(), module_name, doc);
    if (!cls) return Ref();
    for (PyMethodDef* def = methods; def->ml_name; ++def) {
        if (tvx::add_method(cls.get(), def) < 0) return Ref();
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
                             kCommonDoc, common_methods, module_name.get());
    if (!common) return -1;
    Ref single = build_class("BaseSingleRpLinkBroker", common.get(), kSingleDoc, single_methods,
                             module_name.get());
    if (!single) return -1;
    Ref dual = build_class("BaseDualRpLinkBroker", common.get(), kDualDoc, dual_methods,
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
