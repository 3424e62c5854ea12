"""A router CLI dialect as data: the prompts' grammar, the states and the
commands that move between them, the setup commands and the refusals; each
plugin states its own once (``tarvix.plugins.generic.dialect`` is the
generic router's), and the state machines and the connection read it."""

# Where a prompt begins: at the start of the text read, or of a line.
LINE_START = r"(?:\A|[\r\n])"
# What may follow a prompt: it ends what the device printed, but for spaces
# (a line that looks like a prompt and ends is output).
PROMPT_END = r"[^\S\r\n]*\Z"


class Dialect(object):
    """A router CLI dialect, stated once by the plugin that speaks it.

    ``prompt``: the grammar of every prompt, a regular expression in which
    ``{host}`` stands for the hostname and ``{mode}`` for what a state adds
    (e.g. "{host}{mode}", or "[^\\s@#>()]+@{host}{mode}" for user@host>).
    ``states``: (state, mode) pairs, the states whose prompts follow the
    grammar, ``mode`` a regular expression; one of them is "enable", where
    commands run (whatever the device calls it), and "config", if present,
    is where configuration lines go.  ``fixed``: (state, pattern) pairs of
    states shown by a fixed text instead of a prompt (a locked standby
    console).  ``transitions``: (from, to) -> the command that moves there;
    a move not listed goes through "enable".  ``password_commands``: the
    transition commands the device may answer with a password prompt (the
    enable password).

    ``setup_exec`` / ``setup_config``: the setup commands sent while
    connecting; ``standby_unlock``: the configuration that opens a standby
    RP's console; ``error_patterns``: output lines that mean a command was
    refused.  ``commit``: the commands that apply staged configuration
    after its lines (none: each line applies at once), ``rollback``: those
    that drop it once the device refused it.  ``settle_time``: seconds a
    console line reached through a terminal server is given after its link
    closed (connections built with console_settle; 0: never).
    ``template_platform``: the ntc-templates platform that parses the
    output, or None.

    ``save``: the commands that write the running configuration to where
    the device boots from (none: the platform has no save, the device keeps
    what it applied), and ``save_replies``: (pattern, answer) pairs, the
    questions they ask and the line that answers each.  ``commit_check``:
    the commands that validate staged configuration without applying it;
    ``commit_confirmed``: the command that applies it until a later commit
    confirms it, "{minutes}" or "{seconds}" standing for the time it waits
    (None: the platform has none, ``confirm=`` is refused).  ``prompt_banner``: a regular expression of the
    line a device shows above its prompt (e.g. "[edit]"), which belongs
    to no command's output (None: there is none).  ``exit_status``: the
    command that prints the last command's exit status (a shell's
    ``echo $?``; None: the CLI has none, a refusal is told by
    ``error_patterns`` alone).  ``output_filter``: a regular expression of
    what never reaches an output (a shell's terminal escapes).
    ``learn_pattern``: the hostname pattern of a prompt whose hostname is
    being learnt (None: any run of the characters a router's hostname is
    made of).

    What the conformance check sends (``tarvix.testing``): ``long_output``,
    a command whose output is longer than a page; ``rejected_exec`` and
    ``rejected_config``, a command and a configuration line the CLI
    refuses; ``harmless_config``, a pair (lines that apply, lines that
    remove them again) of configuration that changes nothing that matters.
    ``recognise``: how detection (``os="auto"``) knows the platform, a
    pair (the command asked, a regular expression that its answer or the
    prompt matches); None: never chosen by detection.

    Reload and switchover (see tarvix.bases.reload): ``reload`` is the
    command that reloads the device (None: the platform has no such
    operation), ``reload_standby`` the one that reloads only a dual-RP
    router's standby, ``switchover`` the one that hands the active role to
    the standby.  ``reload_save_question`` matches the reload asking
    whether to save a changed configuration first, answered
    ``reload_save_answers`` (yes, no); ``reload_confirm``: (pattern,
    answer), the last confirmation of a reload or switchover, after which
    the device goes down; ``cancel`` is sent to back out of a question.
    ``switchover_refusals``: what the device says when its standby cannot
    take over; ``ha_query``: the exec command that reports the redundancy
    state on the active, whose output matches ``standby_ready`` once the
    standby is back in its HA mode.

    Configuration as a whole (all optional): ``running_config_command``
    shows the running configuration (None: the platform has none to read);
    ``config_noise``: patterns of the lines it shows that are not
    configuration (headers, separators, "end"); ``config_fixed``: patterns
    of top-level lines a replace never removes (the software's own stamp);
    ``config_unnegatable``: patterns of blocks the CLI cannot remove whole
    ("no" and the block's line), which a replace empties line by line;
    ``config_style``: "hierarchy" (indented blocks, "no ..." negates) or
    "set" (a flat list of ``set`` statements, ``delete ...`` negates);
    ``remediation_platform``: hier-config's driver for a hierarchy
    (generic when None); ``config_leave``: the command that leaves a
    block ("exit"); ``confirm_accept``: the commands that confirm a
    ``commit_confirmed``; ``rollback_last``: the commands that bring back the configuration
    before the last commit (none: the configuration before is replaced
    back).

    ``config_secrets``: regular expressions of the configuration lines that
    hold a password or a key, each of whose groups is one; each is matched
    at the start of a line less its indent and its first word when that is
    "no", "undo", "set" or "delete".  ``config_ordered``: regular
    expressions of the entries of lists whose order matters (access lists,
    prefix lists): the lines under one parent that match one pattern with
    the same groups are one list, compared in order (in the "set" style an
    entry is the statement path the pattern matched, which several
    statements may share).  ``config_numbered``: regular expressions of
    entries the device numbers by itself, the group the number's words (" seq
    5"): a list the intended configuration numbers nowhere is compared
    without them.  ``config_negations``: (pattern, replacement) pairs: a
    negation that matches a pattern whole is sent as its replacement (for
    "no description", where the CLI refuses the old value after it).

    ``files``: the CLI's file commands (a ``tarvix.eal.filecommands.FileCommands``;
    None: the CLI has none).
    """

    def __init__(self, name, prompt, states, fixed=(), transitions=None, password_commands=(), setup_exec=(),
                 setup_config=(), standby_unlock=(), error_patterns=(), commit=(), rollback=(), settle_time=0,
                 template_platform=None, save=(), save_replies=(), commit_check=(), commit_confirmed=None,
                 prompt_banner=None, exit_status=None, output_filter=None, learn_pattern=None, long_output=None,
                 rejected_exec=None, rejected_config=None, harmless_config=None, recognise=None, reload=None,
                 reload_standby=None, switchover=None, reload_save_question=None, reload_save_answers=("yes", "no"),
                 reload_confirm=(r"\[confirm\]\s*\Z", ""), cancel="\x03", switchover_refusals=(), ha_query=None,
                 standby_ready=None,
                 running_config_command=None, config_noise=(), config_fixed=(), config_unnegatable=(),
                 config_style="hierarchy", remediation_platform=None, confirm_accept=(), rollback_last=(),
                 config_leave="exit", config_secrets=(), config_ordered=(), config_numbered=(),
                 config_negations=(), files=None):
        self.name = name
        self.prompt = prompt
        self.states = tuple((str(state), mode) for state, mode in states)
        self.fixed = tuple((str(state), pattern) for state, pattern in fixed)
        self.state_names = tuple(state for state, _ in self.states + self.fixed)
        if "enable" not in self.state_names or len(set(self.state_names)) != len(self.state_names):
            raise ValueError("dialect %s: its states are distinct and one of them is \"enable\"" % name)
        if "{host}" not in prompt or "{mode}" not in prompt:
            raise ValueError("dialect %s: the prompt grammar holds {host} and {mode}" % name)
        self.transitions = dict(transitions or {})
        self.password_commands = tuple(password_commands)
        self.setup_exec = list(setup_exec)
        self.setup_config = list(setup_config)
        self.standby_unlock = list(standby_unlock)
        self.error_patterns = list(error_patterns)
        self.commit = list(commit)
        self.rollback = list(rollback)
        self.settle_time = settle_time
        self.template_platform = template_platform
        self.save = list(save)
        self.save_replies = [(pattern, answer) for pattern, answer in save_replies]
        self.commit_check = list(commit_check)
        self.commit_confirmed = commit_confirmed
        self.prompt_banner, self.exit_status = prompt_banner, exit_status
        self.output_filter, self.learn_pattern = output_filter, learn_pattern
        self.long_output = long_output
        self.rejected_exec = rejected_exec
        self.rejected_config = rejected_config
        self.harmless_config = tuple(list(lines) for lines in harmless_config) if harmless_config else None
        self.recognise = tuple(recognise) if recognise else None
        self.reload, self.reload_standby, self.switchover = reload, reload_standby, switchover
        self.reload_save_question = reload_save_question
        self.reload_save_answers = tuple(str(answer) for answer in reload_save_answers)
        self.reload_confirm = (str(reload_confirm[0]), str(reload_confirm[1]))
        self.cancel = cancel
        self.switchover_refusals = list(switchover_refusals)
        self.ha_query = ha_query
        self.standby_ready = standby_ready
        self.running_config_command, self.config_style = running_config_command, config_style
        self.config_noise, self.config_fixed = list(config_noise), list(config_fixed)
        self.config_unnegatable, self.remediation_platform = list(config_unnegatable), remediation_platform
        self.confirm_accept, self.rollback_last = list(confirm_accept), list(rollback_last)
        self.config_leave = config_leave
        self.config_secrets, self.config_ordered = list(config_secrets), list(config_ordered)
        self.config_numbered, self.config_negations = list(config_numbered), [tuple(n) for n in config_negations]
        self.files = files
        if self.config_style not in ("hierarchy", "set"):
            raise ValueError("dialect %s: config_style is \"hierarchy\" or \"set\"" % name)

    @property
    def has_config(self):
        """Whether the CLI has a configuration mode."""
        return "config" in self.state_names

    def settings_values(self):
        """The settings the link brokers and the connection read, from the
        dialect: fresh lists each call."""
        return {
            "HA_INIT_EXEC_COMMANDS": list(self.setup_exec),
            "HA_INIT_CONFIG_COMMANDS": list(self.setup_config),
            "HA_STANDBY_UNLOCK_COMMANDS": list(self.standby_unlock),
            "ERROR_PATTERNS": list(self.error_patterns),
            "CONSOLE_SETTLE_TIME": self.settle_time,
        }

    def _prompt(self, host, mode):
        # Grouped whole, so that an alternation in the grammar or in a mode
        # stays inside the anchors around it.
        return LINE_START + "(?:%s)" % self.prompt.replace("{host}", host).replace("{mode}", "(?:%s)" % mode)

    def pattern(self, state, host):
        """The regular expression of one state's prompt at the end of the
        text read (nothing but spaces after it), for a hostname pattern; the
        prompt's hostname is the group "hostname"."""
        for name, mode in self.states:
            if name == state:
                return self._prompt("(?P<hostname>%s)" % host, mode) + PROMPT_END
        for name, fixed in self.fixed:
            if name == state:
                return r"(?:%s)\s*\Z" % fixed
        raise KeyError(state)

    def counter(self, host):
        """Matches every prompt of a known state anywhere in a text."""
        modes = "|".join(mode for _, mode in self.states)
        return "|".join([self._prompt("(?:%s)" % host, "(?:%s)" % modes)] + [fixed for _, fixed in self.fixed])

    def command(self, here, there):
        """The command that moves from state ``here`` towards ``there``."""
        command = self.transitions.get((here, there)) or self.transitions.get((here, "enable"))
        if command is None:
            raise ValueError("dialect %s: no command leaves %s" % (self.name, here))
        return command

    def __repr__(self):
        return "Dialect(%r)" % self.name
