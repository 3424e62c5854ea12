"""The ``tarvix`` console command."""
import argparse
import sys


def _plugins(args):
    import tarvix

    roster = tarvix.__impl_roster__
    roster.discover_builtin_plugins()
    roster.discover_external_plugins()
    text = repr(roster)
    print(text if text else "no plugins registered")
    return 0


def build_parser():
    parser = argparse.ArgumentParser(prog="tarvix", description="Command-line connections to network devices.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    plugins = commands.add_parser("plugins", help="discover the builtin and external plugins and print the registry's tree")
    plugins.set_defaults(handler=_plugins)
    return parser


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    handler = getattr(args, "handler", None)
    if handler is None:
        parser.print_help()
        return 2
    return handler(args)


if __name__ == "__main__":
    sys.exit(main())
