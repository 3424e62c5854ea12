# Types of tarvix.core.implroster (a native module): the plugin registry.
# `self` is positional-only at run time (inspect shows `self, /`); the stubs
# leave the marker out so that they parse on every supported interpreter.
import importlib as importlib
import logging
import os as os
import pkgutil as pkgutil
from typing import Any, Callable, Dict, Iterable, List, Optional, Type

from tarvix.core.errors import ConnectionInfraError as ConnectionInfraError

log: logging.Logger
ENTRYPOINT_GROUP: str
iter_entry_points: Callable[..., Iterable[Any]]

def getfile(object: Any) -> str: ...

# os -> [series -> [model ->]] node; every node may hold "data":
# {chassis_type: {"cls": <class>, "path": <file of the class>}}.
_PluginTree = Dict[str, Any]

class ImplRoster:
    """Loads all plugin implementation, provides API's for accessing plugins"""

    chassis_type_list: List[str]
    supported_os: List[str]
    _plugins: _PluginTree

    def __init__(self) -> None: ...
    @property
    def plugins(self) -> _PluginTree: ...
    # Assigning `plugins` always raises Exception (" Protected Member, ...").
    @plugins.setter
    def plugins(self, value: Any) -> None: ...
    # Checks of the names a lookup or registration is given (None: not given).
    def validate_model(self, os: Optional[str], series: Optional[str], model: Optional[str]) -> None: ...
    def validate_series(self, os: Optional[str], series: Optional[str]) -> None: ...
    def validate_os(self, os: Optional[str]) -> None: ...
    def validate_chassis_type(self, chassis_type: Optional[str]) -> None: ...
    def validate_arguments(self, os: Optional[str], series: Optional[str], model: Optional[str],
                           chassis_type: Optional[str]) -> None: ...
    def get_plugin(self, os: Optional[str] = None, series: Optional[str] = None,
                   model: Optional[str] = None, chassis_type: str = "single_rp") -> Type[Any]: ...
    def unregister_plugin(self, os: Optional[str] = None, series: Optional[str] = None,
                          model: Optional[str] = None,
                          chassis_type: Optional[str] = None) -> None: ...
    def register_plugin(self, cls: type, os: Optional[str] = None,
                        series: Optional[str] = None, model: Optional[str] = None,
                        chassis_type: str = "single_rp") -> None: ...
    @staticmethod
    def discover_builtin_plugins() -> None: ...
    @staticmethod
    def discover_external_plugins() -> None: ...
    def print_tree(self, data: Any, output: str = "plugin") -> str: ...
    def __repr__(self) -> str: ...
