"""Dialogs: ordered lists of statements that answer what a device prints.

A statement pairs a regular expression with an action.  While a state
machine waits for a prompt it also watches for the statements of the dialog
it was given; when one matches, its action runs and (unless the statement
says otherwise) the wait goes on.  An action is either a string, sent as one
line, or a callable ``action(spawn, context, match)``.
"""
import re


class Statement(object):
    """One pattern the device may print and how to answer it.

    ``loop_continue`` false ends the wait once the statement has matched;
    ``name`` is what error messages and logs call the statement.
    """

    def __init__(self, pattern, action=None, loop_continue=True, name=None):
        self.pattern = pattern
        self.regex = re.compile(pattern) if isinstance(pattern, str) else pattern
        self.action = action
        self.loop_continue = loop_continue
        self.name = name or self.regex.pattern

    def run(self, spawn, context, match):
        """Answers the device: sends the action's line or calls the action."""
        if self.action is None:
            return None
        if callable(self.action):
            return self.action(spawn, context, match)
        return spawn.sendline(self.action)

    def __repr__(self):
        return "Statement(%r)" % (self.name,)


class Dialog(object):
    """A dialog holding a list of statements."""

    def __init__(self, statements=None):
        self.statements = list(statements) if statements is not None else []

    def append(self, statement):
        self.statements.append(statement)
        return self

    def __add__(self, other):
        return Dialog(self.statements + list(other))

    def __iter__(self):
        return iter(self.statements)

    def __len__(self):
        return len(self.statements)

    def __repr__(self):
        return "Dialog(%r)" % (self.statements,)
