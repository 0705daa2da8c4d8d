"""Select exactly one transform while retaining original per-transform probabilities."""

from typing import Any

from albumentations import BaseCompose

class OneOfRetainProb(BaseCompose):
    p: float
    transforms_ps: list[float]

    def __init__(self, transforms: list[Any], p: float = 0.5) -> None: ...
    def __call__(self, *args: Any, force_apply: bool = False, **data: Any) -> dict[str, Any]: ...
    @classmethod
    def get_class_fullname(cls) -> str: ...
