"""The registry's and the brokers' algorithms in plain Python.

The benchmarks time the native modules against these, on the same host
objects, so that "how far ahead" is measured rather than assumed.  They follow
the native modules step for step (same calls through self, same keywords).
"""
import inspect
import re
import time

from tarvix.bases.connection import DEFAULT_LEARNED_HOSTNAME
from tarvix.core.errors import ConnectionError, ConnectionInfraError
from tarvix.eal.dialogs import Dialog

sleep = time.sleep
getfile = inspect.getfile


class log(object):
    @staticmethod
    def debug(message):
        pass


class ImplRoster(object):
    def __init__(self):
        self._plugins = {}
        self.chassis_type_list = ["single_rp", "dual_rp", "stack"]
        self.supported_os = ["generic", "vardo", "quilm", "pendra", "tovak", "selune", "gavri",
                             "brisel", "olmet", "dunek", "farrow", "hestil", "corvan", "pashk",
                             "zendri", "lurem", "wixel", "tamsk"]

    def validate_model(self, os, series, model):
        if not model:
            return
        if not series or not os:
            raise ConnectionInfraError("OS and Series are required for Model: " + str(model))
        if not isinstance(model, str):
            raise ConnectionInfraError("Model should be of type str")
        if model.islower() or model.isdigit():
            return
        raise ConnectionInfraError(" Model (%s) has to be in lowecase" % model)

    def validate_series(self, os, series):
        if not series:
            return
        if os is None:
            raise ConnectionInfraError("OS information not provided for Series: " + str(series))
        if not isinstance(series, str):
            raise ConnectionInfraError("Series should be of type str")
        if series.islower() or series.isdigit():
            return
        raise ConnectionInfraError("Series (%s) has to be in lowercase" % series)

    def validate_os(self, os):
        if os and os not in self.supported_os and "mocked" not in os:
            log.debug("%s is not part of the built-in list of supported OSes." % os)
            return
        if os:
            return
        raise ConnectionInfraError("OS should be one of these " + str(self.supported_os)
                                   + " , but got " + str(os))

    def validate_chassis_type(self, chassis_type):
        if chassis_type and chassis_type in self.chassis_type_list:
            return
        raise ConnectionInfraError("chassis Type should be one of these "
                                   + str(self.chassis_type_list) + ", but got " + str(chassis_type))

    def validate_arguments(self, os, series, model, chassis_type):
        self.validate_model(os=os, series=series, model=model)
        self.validate_series(series=series, os=os)
        self.validate_os(os=os)
        if os == "gavri":
            return
        self.validate_chassis_type(chassis_type=chassis_type)

    def get_plugin(self, os=None, series=None, model=None, chassis_type="single_rp"):
        self.validate_arguments(os, series, model, chassis_type)
        if model is not None:
            from_path = [os, series, model]
        elif series is not None:
            from_path = [os, series]
        else:
            from_path = [os]
        root = self._plugins
        for path in from_path:
            if path in root:
                root = root[path]
            else:
                break
        if "data" in root and chassis_type in root["data"]:
            return root["data"][chassis_type]["cls"]
        raise ConnectionInfraError("Plugin data not found for (" + "/".join(from_path)
                                   + "), type: " + str(chassis_type) + " ")

    def register_plugin(self, cls, os=None, series=None, model=None, chassis_type="single_rp"):
        self.validate_arguments(os, series, model, chassis_type)
        if model is not None:
            tree_hirerarchy = [os, series, model]
        elif series is not None:
            tree_hirerarchy = [os, series]
        else:
            tree_hirerarchy = [os]
        cur_node = self._plugins
        for node in tree_hirerarchy:
            if node not in cur_node:
                cur_node[node] = {}
            cur_node = cur_node[node]
        class_path = getfile(cls)
        if "data" in cur_node:
            data = cur_node["data"]
            data[chassis_type] = {"cls": cls, "path": class_path}
            cur_node["data"] = data
        else:
            cur_node["data"] = {chassis_type: {"cls": cls, "path": class_path}}

    def print_tree(self, data, output="plugin"):
        if not data:
            return ""
        if data == {}:
            return ""
        if not isinstance(data, dict):
            return output + " = " + str(data)
        sorted_keys = sorted(data.keys())
        last_key = sorted_keys[-1]
        for key in sorted_keys:
            temp_output = self.print_tree(data=data[key], output="__ " + key)
            separator = "  " if key == last_key else "  |"
            current_line = 1
            for line in temp_output.split("\n"):
                if current_line == 1 and key == last_key:
                    output += "\n  |" + line
                else:
                    output += "\n" + separator + line
                current_line += 1
        return output

    def __repr__(self):
        return self.print_tree(data=self._plugins, output="plugins (" + str(self.__class__) + " at "
                               + str(hex(id(self))) + ") ")


class BaseCommonRpLinkBroker(object):
    def __init__(self, connection):
        self.connection = connection
        self.prompt_recovery = connection.context.pop("prompt_recovery", False)

    def get_connection_dialog(self):
        return Dialog([])

    def set_init_commands(self):
        con = self.connection
        if con.init_exec_commands is not None:
            self.init_exec_commands = con.init_exec_commands
        elif hasattr(con.settings, "HA_INIT_EXEC_COMMANDS"):
            self.init_exec_commands = con.settings.HA_INIT_EXEC_COMMANDS
        else:
            self.init_exec_commands = []
        if con.init_config_commands is not None:
            self.init_config_commands = con.init_config_commands
        elif hasattr(con.settings, "HA_INIT_CONFIG_COMMANDS"):
            self.init_config_commands = con.settings.HA_INIT_CONFIG_COMMANDS
        else:
            self.init_config_commands = []

    def execute_init_commands(self, standby=False):
        self.set_init_commands()
        assert isinstance(self.init_exec_commands, list), "Init commands must be a list"
        assert isinstance(self.init_config_commands, list), "Init commands must be a list"
        con = self.connection
        for command in self.init_exec_commands:
            con.execute(command, prompt_recovery=self.prompt_recovery)
        if not standby and len(self.init_config_commands):
            con.configure(self.init_config_commands, prompt_recovery=self.prompt_recovery)


class BaseSingleRpLinkBroker(BaseCommonRpLinkBroker):
    def __init__(self, connection):
        super(BaseSingleRpLinkBroker, self).__init__(connection)

    def connect(self):
        con = self.connection
        con.log.info("connection to %s" % con.hostname)
        output = self.establish_connection()
        if not con.mit:
            con.log.info("+++ initializing handle +++")
            self.init_handle()
        self.prompt_recovery = con.context.pop("prompt_recovery", False)
        return output

    def establish_connection(self):
        con = self.connection
        learn_hostname = con.learn_hostname and not con.learned_hostname
        if learn_hostname:
            con.state_machine.learn_hostname = True
        context = con.context
        context.update(cred_list=context.get("login_creds"))
        output = con.state_machine.go_to("any", con.spawn, context=context,
                                         prompt_recovery=self.prompt_recovery,
                                         timeout=con.connection_timeout,
                                         dialog=self.get_connection_dialog())
        context.pop("cred_list", None)
        if learn_hostname:
            learned = con._get_learned_hostname(con.spawn)
            if learned == DEFAULT_LEARNED_HOSTNAME:
                con.log.warning("Using the default hostname pattern {}. This may lead to unstable "
                                "behavior.".format(DEFAULT_LEARNED_HOSTNAME))
            con.learned_hostname = learned
            con.state_machine.learn_hostname = False
        return output

    def init_handle(self):
        con = self.connection
        con._is_connected = True
        con.state_machine.go_to("enable", con.spawn, context=con.context,
                                prompt_recovery=self.prompt_recovery,
                                timeout=con.connection_timeout)
        self.execute_init_commands()

    def disconnect(self):
        self.connection.spawn.close()
        sleep(2)
        self.connection._is_connected = False


class BaseDualRpLinkBroker(BaseCommonRpLinkBroker):
    def __init__(self, connection):
        super(BaseDualRpLinkBroker, self).__init__(connection)

    def connect(self):
        con = self.connection
        con.log.info("+++ connection to %s +++" % str(self.connection.a.spawn))
        con.log.info("+++ connection to %s +++" % str(self.connection.b.spawn))
        self.establish_connection()
        con._is_connected = True
        if not con.mit:
            con.log.info("+++ designating handles +++")
            self.designate_handles()
            con.log.info("+++ initializing active handle +++")
            self.init_active()
            con.log.info("+++ unlocking standby +++")
            self.unlock_standby()
            con.log.info("+++ initializing standby handle +++")
            self.init_standby()
            con.log.info("+++ assigning ha mode +++")
            self.assign_ha_mode()
        con.context.pop("prompt_recovery", None)

    def establish_connection(self):
        con = self.connection
        learn_hostname = con.learn_hostname and not con.learned_hostname
        if learn_hostname:
            con.a.state_machine.learn_hostname = True
            con.b.state_machine.learn_hostname = True
        context = con.context
        context.update(cred_list=context.get("login_creds"))
        for count in (1, 2):
            con.a.state_machine.go_to("any", con.a.spawn, context=context,
                                      prompt_recovery=self.prompt_recovery,
                                      timeout=con.connection_timeout,
                                      dialog=self.get_connection_dialog())
            con.b.state_machine.go_to("any", con.b.spawn, context=context,
                                      prompt_recovery=self.prompt_recovery,
                                      timeout=con.connection_timeout,
                                      dialog=self.get_connection_dialog())
            if count == 1:
                con.a.spawn.sendline()
                con.b.spawn.sendline()
        context.pop("cred_list", None)
        if not learn_hostname:
            return
        learned_hostname_a = con._get_learned_hostname(spawn=con.a.spawn)
        learned_hostname_b = con._get_learned_hostname(spawn=con.b.spawn)
        if learned_hostname_a != DEFAULT_LEARNED_HOSTNAME:
            learned_hostname = learned_hostname_a
        else:
            learned_hostname = learned_hostname_b
        if learned_hostname == DEFAULT_LEARNED_HOSTNAME:
            con.log.warning("Failed to learn the hostname.  Using the default hostname pattern {}. "
                            "This may lead to unstable behavior.".format(DEFAULT_LEARNED_HOSTNAME))
        con.learned_hostname = learned_hostname
        con.a.state_machine.learn_hostname = False
        con.b.state_machine.learn_hostname = False

    def designate_handles(self):
        con = self.connection
        if con.a.state_machine.current_state == "standby_locked":
            target_rp, other_rp = "b", "a"
        elif con.b.state_machine.current_state == "standby_locked":
            target_rp, other_rp = "a", "b"
        else:
            con.log.debug("both the rp's are unlocked")
            target_rp, other_rp = "a", "b"
        target_handle = getattr(con, target_rp)
        other_handle = getattr(con, other_rp)
        target_handle.state_machine.go_to("enable", target_handle.spawn, context=con.context,
                                          prompt_recovery=self.prompt_recovery,
                                          timeout=con.connection_timeout)
        target_handle.spawn.sendline("sh redundancy stat | inc my state")
        output = target_handle.spawn.expect(
            target_handle.state_machine.get_state("enable").pattern,
            timeout=con.settings.EXEC_TIMEOUT).match_output
        if re.search("active", output, re.IGNORECASE):
            target_handle.role = "active"
            other_handle.role = "standby"
        elif re.search("standby", output, re.IGNORECASE):
            target_handle.role = "standby"
            other_handle.role = "active"
        else:
            raise ConnectionError("unable to designate handles")
        con._handles_designated = True

    def init_active(self):
        self.execute_init_commands()

    def init_standby(self):
        con = self.connection
        con.active.state_machine.go_to("enable", con.active.spawn, context=con.context,
                                       prompt_recovery=self.prompt_recovery,
                                       timeout=con.connection_timeout)
        self.execute_init_commands(standby=True)

    def assign_ha_mode(self):
        con = self.connection
        ret = con.execute("sh redundancy state", target="active",
                          prompt_recovery=self.prompt_recovery)
        mode = re.search(r"[Rr]edundancy\s+[Ss]tate\s+=\s+(.*)", ret)
        if mode:
            ha_mode = mode.groups()[0].strip()
            con.a.mode = ha_mode
            self.connection.b.mode = ha_mode
            con.log.debug("redundancy mode is %s" % con.a.mode)
            return
        raise ConnectionError("unable to determine redundancy mode")

    def unlock_standby(self):
        commands = self.connection.settings.HA_STANDBY_UNLOCK_COMMANDS
        self.connection.configure(commands, prompt_recovery=self.prompt_recovery)
        self.connection.standby.state_machine._current_state = "generic"
        self.connection.standby.spawn.sendline()
        self.connection.standby.state_machine.go_to(spawn=self.connection.standby.spawn,
                                                    prompt_recovery=self.prompt_recovery,
                                                    to_state="any")

    def lock_standby(self):
        commands = ["redundancy", "main-cpu", "no standby console enable"]
        self.connection.configure(commands)

    def disconnect(self):
        self.connection.a.spawn.close()
        self.connection.b.spawn.close()
        sleep(2)
        self.connection._is_connected = False
