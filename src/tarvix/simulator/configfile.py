"""A simulated router's configuration kept in a file across runs
(``--config-file``): its running and startup configuration and whether it
changed since it was saved, read when a console starts and before each line
it handles, written after each line that changed it.  A spawned simulator
lives as long as its connection, so without the file every run met a router
that had forgotten the last; the two RPs of a pair given the same file share
the configuration as well."""
import json
import os

from tarvix.bases.config import tree

FORMAT = "tarvix simulated router 1"


class ConfigFile(object):
    """The file of one router, shared by its consoles (on its
    ``RouterState``): ``load`` takes in what another process wrote, ``keep``
    writes what changed here."""

    def __init__(self, path):
        self.path = path
        # The text last read or written: what the router's state holds.
        self._seen = None

    def load(self, console):
        """Takes the file's configuration into the console's router, when it
        changed since it was last seen; ValueError for a file that holds no
        router's configuration."""
        try:
            with open(self.path) as handle:
                text = handle.read()
        except FileNotFoundError:
            return
        if text == self._seen:
            return
        try:
            kept = json.loads(text)
            if kept.get("format") != FORMAT:
                raise ValueError("it names no format %r" % FORMAT)
            running, startup, modified = kept["running"], kept["startup"], bool(kept["modified"])
            if not all(isinstance(lines, list) and all(isinstance(line, str) for line in lines)
                       for lines in (running, startup)):
                raise ValueError("its running and startup configuration are lists of lines")
        except (ValueError, KeyError, TypeError, AttributeError) as error:
            raise ValueError("%s: not a simulated router's configuration (%s); remove it to start afresh"
                             % (self.path, error))
        state = console.state
        if console.cli.set_style:
            state.running[:], state.startup[:] = running, startup
        else:
            store = console.config_store()
            store.running, store.startup = tree.parse(running), tree.parse(startup)
        state.modified = modified
        self._seen = text

    def keep(self, console):
        """Writes the router's configuration, when it changed, in one step
        (a reader never sees half a file)."""
        if console.cli.set_style:
            running, startup = console.state.running, console.state.startup
        else:
            store = console.config_store()
            running, startup = store.lines("running"), store.lines("startup")
        text = json.dumps({"format": FORMAT, "running": running, "startup": startup,
                           "modified": console.state.modified}, indent=1) + "\n"
        if text == self._seen:
            return
        temporary = "%s.%d.new" % (self.path, os.getpid())
        with open(temporary, "w") as out:
            out.write(text)
        os.replace(temporary, self.path)
        self._seen = text
