"""The platform names of the peers' Nornir plugins and inventories, and the
tarvix os plugin that speaks each (a name not listed is taken as an os
plugin's own name)."""

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
    """The tarvix os plugin for a Nornir platform name."""
    return PLATFORM_OS.get(platform, platform)
