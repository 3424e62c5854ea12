# Types of tarvix.bases.config.transaction: what a configuration change did.
from typing import Any, Dict, List

class ConfigChange:
    diff: str
    sent: List[str]
    changed: bool
    dry_run: bool
    def __init__(self, diff: str, sent: List[str], changed: bool, dry_run: bool = False) -> None: ...
    def as_dict(self) -> Dict[str, Any]: ...

class ConfigurationApi: ...
