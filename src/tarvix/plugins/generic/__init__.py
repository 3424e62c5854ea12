"""Connection classes for a generic router."""
from tarvix import __impl_roster__


class GenericSingleRpConnection(object):
    """Connection to a generic router with one route processor."""

    os = "generic"
    chassis_type = "single_rp"


class GenericDualRPConnection(object):
    """Connection to a generic router with an active and a standby route processor."""

    os = "generic"
    chassis_type = "dual_rp"


__impl_roster__.register_plugin(GenericSingleRpConnection, os="generic", chassis_type="single_rp")
__impl_roster__.register_plugin(GenericDualRPConnection, os="generic", chassis_type="dual_rp")
