"""Dialogs: ordered lists of statements that answer what a device prints."""


class Dialog(object):
    """A dialog holding a list of statements."""

    def __init__(self, statements=None):
        self.statements = list(statements) if statements is not None else []

    def __iter__(self):
        return iter(self.statements)

    def __len__(self):
        return len(self.statements)

    def __repr__(self):
        return "Dialog(%r)" % (self.statements,)
