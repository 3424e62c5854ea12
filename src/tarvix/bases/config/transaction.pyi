# Types of tarvix.bases.config.transaction: what a configuration change did.
from typing import Any, Dict, List, Optional

class ConfigChange:
    diff: str
    sent: List[str]
    changed: bool
    dry_run: bool
    before: Optional[str]
    def __init__(self, diff: str, sent: List[str], changed: bool, dry_run: bool = False,
                 before: Optional[str] = None) -> None: ...
    def as_dict(self) -> Dict[str, Any]: ...

class ConfigurationApi: ...
