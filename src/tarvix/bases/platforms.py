"""The platform names tarvix takes, wherever a platform is named
(``tarvix connect --os``, ``tarvix check --os``, an inventory's
``platform``): the os plugins the registry holds, and the names the peers'
Nornir plugins, inventories and drivers give the CLIs of the built-in
plugins, each taken as the plugin that speaks it."""
from tarvix.exits import UsageError

# The entry-point group of the installed plugins.
PLUGIN_GROUP = "tarvix.plugins"

# The peers' platform names, and the os plugin that speaks each (a name not
# listed is taken as an os plugin's own name).
PLATFORM_OS = {
    None: "generic",
    "": "generic",
    "ios": "generic",
    "cisco_ios": "generic",
    "arista_eos": "eos",
    "juniper": "junos",
    "juniper_junos": "junos",
    "huawei": "vrp",
    "huawei_vrp": "vrp",
    "huawei_vrpv8": "vrp",
    "vyatta_vyos": "vyos",
    "ruckus_fastiron": "fastiron",
    "brocade_fastiron": "fastiron",
}


def platform_os(platform):
    """The tarvix os plugin for a platform name."""
    return PLATFORM_OS.get(platform, platform) if platform is None or isinstance(platform, str) else platform


def installed_platforms():
    """{os: the chassis types it has a class for}, of every plugin the
    registry holds (the built-in ones and those installed)."""
    from tarvix.bases.discovery import discover_plugins

    found = {}
    for os_name, node in discover_plugins().plugins.items():
        kinds = []
        for _, chassis, _ in plugin_records(node):
            kinds += [chassis] if chassis not in kinds else []
        found[os_name] = kinds
    return found


def plugin_records(node, where=()):
    """(series and model, chassis type, record) of an os's node of the
    registry's tree, the os's own first, the chassis types in the
    registry's order."""
    from tarvix.bases.discovery import discover_plugins

    order = list(discover_plugins().chassis_type_list)
    data = node.get("data") or {}
    for chassis in sorted(data, key=lambda kind: (order.index(kind) if kind in order else len(order), kind)):
        record = data[chassis]
        yield where, chassis, record
    for key in sorted(key for key in node if key != "data"):
        for found in plugin_records(node[key], where + (key,)):
            yield found


def platform_complaint(platform, chassis_type=None):
    """Why ``platform`` names no installed plugin (or none of that chassis
    type), in words that list what there is; None when it names one."""
    platforms = installed_platforms()
    os_name = platform_os(platform)
    if not isinstance(os_name, str) or os_name not in platforms:
        return "no such platform; the platforms: %s (or the peers' names for them)" % ", ".join(sorted(platforms))
    if chassis_type and chassis_type not in platforms[os_name]:
        return "the platform %s has no %s plugin (it has %s)" % (os_name, chassis_type, ", ".join(platforms[os_name]))
    return None


def checked_os(name, chassis_type=None, option="--os"):
    """The os plugin an option names (an os plugin's name, or the peers' name
    for its CLI), or UsageError listing the platforms."""
    complaint = platform_complaint(name, chassis_type)
    if complaint:
        raise UsageError("%s %s: %s" % (option, name, complaint))
    return platform_os(name)


def plugin_rows():
    """(os, chassis type, class, where it came from) of every plugin class
    the registry holds, sorted by os."""
    from tarvix.bases.discovery import discover_plugins

    rows = []
    for os_name, node in sorted(discover_plugins().plugins.items()):
        for where, chassis, record in plugin_records(node):
            cls = record["cls"]
            name = " ".join([os_name] + ["%s" % key for key in where])
            rows.append((name, chassis, "%s.%s" % (cls.__module__, cls.__qualname__), _origin(cls, record)))
    return rows


def _origin(cls, record):
    """Where a plugin class came from: tarvix itself, the distribution whose
    entry point loads its module, else its file."""
    module = cls.__module__
    if module == "tarvix" or module.startswith("tarvix."):
        return "built-in"
    top = module.split(".")[0]
    for name, version, loaded in _plugin_entry_points():
        if loaded.split(".")[0] == top:
            return "%s %s" % (name, version)
    return record.get("path") or module


def _plugin_entry_points():
    """(distribution, version, module) of each entry point of the plugins'
    group."""
    try:
        from importlib import metadata
    except ImportError:  # Python 3.6 and 3.7: setuptools' view of them
        try:
            import pkg_resources
        except ImportError:
            return
        for entry in pkg_resources.iter_entry_points(PLUGIN_GROUP):
            yield entry.dist.project_name, entry.dist.version, entry.module_name
        return
    for distribution in metadata.distributions():
        for entry in distribution.entry_points:
            if entry.group == PLUGIN_GROUP:
                yield distribution.metadata["Name"], distribution.version, entry.value.split(":")[0]
