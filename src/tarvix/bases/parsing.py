"""Command output as records, through the TextFSM templates of the
ntc-templates package (the ``parse`` extra; ``pip install ntc-templates textfsm``).

A connection class names its template platform (``template_platform``);
``find_template`` looks the command up in the templates' index for it, so
that a command without a template fails before it is sent, and ``parse``
turns the output into a list of dicts keyed by the template's field names
in lower case.  $NTC_TEMPLATES_DIR names another template folder (with an
index file), as for ntc-templates itself.
"""
import os

from tarvix.core.errors import ParseError, TemplateNotFoundError

# The packages of the extra, named so that the hint works whether tarvix came
# from an index or from a clone (where the extra is ".[parse]").
INSTALL_HINT = "parsing output needs ntc-templates and textfsm: pip install ntc-templates textfsm"


class Template(object):
    """The template(s) the index gives for one platform and command."""

    def __init__(self, table, names, platform, command, errors):
        self.table = table
        self.errors = errors
        self.names = names
        self.platform = platform
        self.command = command


def _library():
    try:
        import ntc_templates
        from textfsm import clitable, parser, texttable
    except ImportError as error:
        raise ImportError("%s (%s)" % (INSTALL_HINT, error))
    folder = os.environ.get("NTC_TEMPLATES_DIR") or os.path.join(os.path.dirname(ntc_templates.__file__),
                                                                  "templates")
    # What a template that fails on the output, or cannot be read, raises.
    errors = (clitable.Error, parser.Error, texttable.Error, OSError)
    return clitable, folder, errors


def find_template(platform, command):
    """The template for ``command`` on ``platform``; TemplateNotFoundError
    when there is none."""
    command = " ".join(command.split())
    if not platform:
        error = TemplateNotFoundError("no template for the command %r: the connection names no template platform"
                                      % command)
    else:
        clitable, folder, errors = _library()
        # The index is read once per process and folder (clitable keeps it).
        table = clitable.CliTable("index", folder)
        row = table.index.GetRowMatch({"Command": command, "Platform": platform})
        if row:
            return Template(table, table.index.index[row]["Template"], platform, command, errors)
        error = TemplateNotFoundError("no template for the command %r on the platform %r" % (command, platform))
    error.command, error.platform = command, platform
    raise error


def parse(template, output):
    """The records that ``template`` (from find_template) reads in ``output``."""
    table = template.table
    try:
        table.ParseCmd(output, templates=template.names)
    except template.errors as error:
        raise ParseError("the output of %r could not be parsed with the %s template(s) %s: %s"
                         % (template.command, template.platform, template.names, error))
    header = [name.lower() for name in table.header]
    return [dict(zip(header, row)) for row in table]
