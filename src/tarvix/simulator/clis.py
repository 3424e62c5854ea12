"""The CLIs the simulated console speaks, as data: one ``Cli`` per dialect
(``--dialect NAME``), which the one ``Console`` reads for its prompts, its
mode commands, its answers and its configuration model."""


class Cli(object):
    """How one dialect's console looks and answers.

    ``prompts``: mode -> the prompt's format ("{host}", "{user}", "{sub}"
    the configuration submode's suffix, "{mark}" what vrp shows before the
    host: "~" or "*" once a line is staged); its keys are the modes the
    console has, the first that of a new session unless --start-state
    names another it has ("shell": a root login's shell, where ``cli``
    starts the CLI).  ``edit_line``: a line shown above the
    configuration prompt.  ``login``: "terminal" (Username:/Password:) or
    "unix" (login:/Password:).  ``show``: the keyword of show commands.
    ``enter``: the configuration command's words (each may be abbreviated;
    ``enter_min`` of them are needed); ``end``/``leave``: the commands
    that leave configuration at once or one level at a time.  ``staged``:
    lines wait for ``commit``, ``discard`` drops them, ``compare`` shows
    them.  ``invalid``/``refused``/``incomplete``: the answers to an
    unknown command, a refused line and an unfinished one, "{line}" the
    line.  ``paging``: the setup commands taken silently (their first
    words).  ``save``: (command, question, answer, done): the command that
    saves the configuration, the question it asks (or None), the answer
    that goes ahead and what it prints then.  ``running``: the words after
    ``show`` that print the running configuration.  ``unlock``: the
    configuration line that opens the standby's console (staged dialects;
    the generic one's lives under redundancy / main-cpu).
    ``session_prompt``: the configuration prompt inside a named
    configuration session (where only a session stages lines).
    ``set_style``: configuration is "set ..." / "delete ..." lines, shown
    as they are.  ``announce``: entering and leaving configuration is
    told.  ``stage_refused``/``commit_failed``/``commit_done``: what a
    commit says of a refused line, after refusing, and once applied.
    ``hostname_line``: the configuration's first line; ``negation``: the
    word that removes a line; ``vocabulary``: the words its configuration
    modes know (tarvix.simulator.configstore; None: the generic router's).
    ``reload``: how it reloads and switches over (a ``Reload``; None: it
    does not).  A staged CLI without a save boots from what it committed.
    ``long``: an exec command (whole words) that prints the long report of
    ``show tech-support`` too (vtysh's ``list``).  ``exclusive``: the word
    after the configuration command that takes the configuration for this
    session alone until it leaves (None: the CLI has no such lock).  ``unknown``: the answer
    to a configuration line its mode does not know (the refused line's by
    default); ``bare_negations``: the lines whose negation takes nothing
    after their words (a negation with more is unknown).
    """

    def __init__(self, name, prompts, banner, invalid, refused=None, incomplete=None, edit_line=None,
                 login="terminal", show="show", enter=("configure", "terminal"), enter_min=1, end=("end",),
                 leave=("exit",), staged=False, discard=(), compare=(), paging=(), save=None,
                 running=("running-config",), unlock=None, session_prompt=None, set_style=False, announce=False,
                 stage_refused=None, commit_failed=None, commit_done="", reload=None, long=None,
                 hostname_line="hostname {host}", negation="no", vocabulary=None, exclusive=None, unknown=None,
                 bare_negations=()):
        self.name = name
        self.prompts = dict(prompts)
        self.modes = tuple(mode for mode, _ in prompts)
        self.banner = banner
        self.invalid = invalid
        self.refused = refused or invalid
        self.unknown = unknown or self.refused
        self.bare_negations = tuple(bare_negations)
        self.incomplete = incomplete or invalid
        self.edit_line = edit_line
        self.login = login
        self.show = show
        self.enter = tuple(enter)
        self.enter_min = enter_min
        self.end = tuple(end)
        self.leave = tuple(leave)
        self.staged = staged
        self.discard = tuple(discard)
        self.compare = tuple(compare)
        self.paging = tuple(tuple(words.split()) for words in paging)
        self.save = save
        self.running = tuple(running)
        self.unlock = unlock
        self.session_prompt = session_prompt
        self.set_style = set_style
        self.announce = announce
        self.stage_refused = stage_refused or self.refused
        self.commit_failed = commit_failed
        self.commit_done = commit_done
        self.hostname_line = hostname_line
        self.negation = negation
        self.vocabulary = vocabulary
        self.reload = reload
        self.long = long
        self.exclusive = exclusive


class Reload(object):
    """How one dialect's console reloads (see tarvix.simulator.boot).

    ``command``: the reload's words; ``peer``: those that reload only the
    standby RP, ``switchover``: those that hand the active role to it (None:
    the CLI has none); each word of a command of several may be
    abbreviated.  ``save_question``: asked first when the configuration
    changed since it was last saved (None: an unsaved change is lost
    without a word); ``confirm``, ``peer_confirm``, ``switchover_confirm``:
    the last question of each, which an empty line, "y" or "yes" answers.
    """

    def __init__(self, command, confirm, save_question=None, peer=None, peer_confirm=None, switchover=None,
                 switchover_confirm=None):
        self.command = tuple(command.split())
        self.confirm = confirm
        self.save_question = save_question
        self.peer = tuple(peer.split()) if peer else None
        self.peer_confirm = peer_confirm
        self.switchover = tuple(switchover.split()) if switchover else None
        self.switchover_confirm = switchover_confirm


_TERMINAL = ("terminal length", "terminal width")
_SAVE_FIRST = "System configuration has been modified. Save? [yes/no]: "

CLIS = dict((cli.name, cli) for cli in [
    Cli("generic", [("disable", "{host}>"), ("enable", "{host}#"), ("config", "{host}(config{sub})#")],
        "Generic router simulator, software version 1.0", "% Invalid input detected.",
        refused="% Invalid input detected at '^' marker.", incomplete="% Incomplete command.", paging=_TERMINAL,
        reload=Reload("reload", "Proceed with reload? [confirm]", save_question=_SAVE_FIRST,
                      peer="redundancy reload peer", peer_confirm="Reload the peer RP? [confirm]",
                      switchover="redundancy force-switchover",
                      switchover_confirm="Proceed with switchover to standby RP? [confirm]")),
    Cli("commit", [("enable", "{user}@{host}>"), ("config", "{user}@{host}#")],
        "Commit-style router simulator, software version 1.0", "error: unknown command: {line}",
        refused="error: command refused: {line}", login="unix", enter=("configure",), end=(),
        leave=("exit", "quit"), staged=True, discard=("rollback",), compare=("show", "|", "compare"),
        paging=("set cli",), running=("configuration",), unlock="set chassis redundancy standby-console enable",
        set_style=True, announce=True, stage_refused="error: '{line}' is not valid here",
        commit_failed="error: configuration check-out failed", commit_done="commit complete"),
    Cli("frr", [("enable", "{host}#"), ("config", "{host}(config{sub})#")],
        "FRRouting-style router simulator, software version 1.0", "% Unknown command: {line}",
        refused="% Configuration failed.\n\nError type: validation", unknown="% Unknown command: {line}",
        bare_negations=("description", "password", "enable password"),
        incomplete="% Command incomplete: {line}", paging=("terminal length",),
        save=("write memory", None, None,
              "Building Configuration...\nIntegrated configuration saved to /etc/frr/frr.conf\n[OK]"), long="list"),
    Cli("eos", [("disable", "{host}>"), ("enable", "{host}#"), ("config", "{host}(config{sub})#")],
        "eos router simulator, software version 1.0", "% Invalid input",
        incomplete="% Incomplete command", paging=_TERMINAL, staged=True, discard=("abort",),
        compare=("show", "session-config", "diffs"), save=("write memory", None, None, "Copy completed successfully."),
        session_prompt="{host}(config-s-{session}{sub})#", commit_failed="% Commit failed",
        reload=Reload("reload", "Proceed with reload? [confirm]", save_question=_SAVE_FIRST)),
    Cli("junos", [("enable", "{user}@{host}>"), ("config", "{user}@{host}#"), ("shell", "{user}@{host}:~ # ")],
        "junos router simulator, software version 1.0", "syntax error, expecting <command>.",
        refused="error: command refused: {line}", edit_line="[edit]", login="unix", enter=("configure",),
        end=("exit configuration-mode",), leave=("exit", "quit"), staged=True, discard=("rollback",), compare=("show", "|", "compare"),
        paging=("set cli",), running=("configuration",), unlock="set chassis redundancy standby-console enable",
        set_style=True, announce=True, stage_refused="error: '{line}' is not valid here",
        commit_failed="error: configuration check-out failed", commit_done="commit complete", exclusive="exclusive",
        reload=Reload("request system reboot", "Reboot the system ? [yes,no] (no) ")),
    Cli("vrp", [("enable", "<{host}>"), ("config", "[{mark}{host}{sub}]")],
        "vrp router simulator, software version 1.0", "Error: Unrecognized command found at '^' position.",
        incomplete="Error: Incomplete command found at '^' position.", show="display", enter=("system-view",),
        end=("return",), leave=("quit",), staged=True, discard=("clear", "configuration", "candidate"),
        compare=("display", "configuration", "candidate", "changed"), paging=("screen-length", "screen-width"),
        save=("save", "Warning: The current configuration will be written to the device. Continue? [Y/N]:", "y",
              "Info: Save the configuration successfully."), running=("current-configuration",),
        commit_failed="Error: Failed to commit the configuration.", hostname_line="sysname {host}", negation="undo",
        vocabulary="vrp",
        reload=Reload("reboot", "Warning: The system will reboot. Continue? [Y/N]:",
                      save_question="Warning: The current configuration will be saved to the next startup "
                                    "saved-configuration file. Continue? [Y/N]:")),
    Cli("vyos", [("enable", "{user}@{host}:~$ "), ("config", "{user}@{host}# ")],
        "vyos router simulator, software version 1.0", "Invalid command: {line}",
        refused="Set failed", edit_line="[edit]", login="unix", enter=("configure",), end=(), leave=("exit",),
        staged=True, discard=("discard",), compare=("compare",), paging=("set terminal",),
        save=("save", None, None, "Saving configuration to '/config/config.boot'...\nDone"),
        running=("configuration",), set_style=True, commit_failed="Commit failed",
        reload=Reload("reboot", "Are you sure you want to reboot this system? [y/N] ")),
    Cli("fastiron", [("disable", "SSH@{host}>"), ("enable", "SSH@{host}#"), ("config", "SSH@{host}(config{sub})#")],
        "fastiron router simulator, software version 1.0", "Invalid input -> {line}\nType ? for a list",
        incomplete="Incomplete command.", paging=("skip-page-display",),
        save=("write memory", None, None, "Write startup-config done."),
        reload=Reload("reload", "Are you sure? (enter 'y' or 'n'): ")),
])
