"""Pad to a target aspect ratio while keeping the original content position."""

from typing import Any

import cv2
import numpy as np
from albumentations import PadIfNeeded

class RelativePadding(PadIfNeeded):
    aspect_ratio: float
    min_height: int
    min_width: int

    def __init__(
        self,
        aspect_ratio: float,
        position: PadIfNeeded.PositionType | str = PadIfNeeded.PositionType.CENTER,
        border_mode: int = cv2.BORDER_CONSTANT,
        value: int | float | tuple[int, int, int] = 0,
        mask_value: int | float | tuple[int, int, int] | None = None,
        always_apply: bool = False,
        p: float = 1.0,
    ) -> None: ...
    def update_params(self, params: dict[str, Any], **kwargs: Any) -> dict[str, Any]: ...
    def __check_after_update(
        self, rows: int | None = None, cols: int | None = None, **_kwargs: Any
    ) -> None: ...
    def apply(self, img: np.ndarray[Any, Any], **params: Any) -> np.ndarray[Any, Any]: ...
    def apply_to_bbox(self, bbox: tuple[float, ...], **params: Any) -> tuple[float, ...]: ...
    def apply_to_keypoint(
        self, keypoint: tuple[float, ...], **params: Any
    ) -> tuple[float, ...]: ...
    def get_transform_init_args_names(self) -> tuple[str, ...]: ...
    @classmethod
    def get_class_fullname(cls) -> str: ...
