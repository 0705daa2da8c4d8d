"""Crop using relative coordinates."""

from typing import Any

import numpy as np
from albumentations import Crop

class RelativeCrop(Crop):
    x_min: int
    y_min: int
    x_max: int
    y_max: int
    x_min_percent: float
    y_min_percent: float
    x_max_percent: float
    y_max_percent: float
    applied_in_replay: bool

    def __init__(
        self,
        x_min_percent: float = 0.0,
        y_min_percent: float = 0.0,
        x_max_percent: float = 1.0,
        y_max_percent: float = 1.0,
        always_apply: bool = False,
        p: float = 1.0,
    ) -> None: ...
    def update_params(self, params: dict[str, Any], **kwargs: Any) -> dict[str, Any]: ...
    def update_child(self) -> None: ...
    def __check_after_update(
        self, rows: int | None = None, cols: int | None = None, **_kwargs: Any
    ) -> None: ...
    def apply(self, img: np.ndarray[Any, Any], **params: Any) -> np.ndarray[Any, Any]: ...
    def apply_to_bbox(self, bbox: tuple[float, ...], **kwargs: Any) -> tuple[float, ...]: ...
    def apply_to_keypoints(self, keypoints: Any, **params: Any) -> Any: ...
    def get_transform_init_args_names(self) -> tuple[str, ...]: ...
    @classmethod
    def get_class_fullname(cls) -> str: ...

class CropData:
    index: int
    max: int
    x1: float | int
    x2: float | int
    y1: float | int
    y2: float | int
    number_of_crops_x: int
    number_of_crops_y: int

    def __init__(
        self,
        index: int,
        max: int,
        x1: float | int,
        x2: float | int,
        y1: float | int,
        y2: float | int,
        number_of_crops_x: int,
        number_of_crops_y: int,
    ) -> None: ...

class CropsData:
    data: list[CropData]
    og_data: list[CropData]
    x_values: list[float]
    y_values: list[float]
    x_index: dict[float, set[CropData]]
    y_index: dict[float, set[CropData]]

    def __init__(self, data: list[CropData]) -> None: ...
    def __getitem__(self, idx: int) -> CropData: ...
    def __len__(self) -> int: ...
    def __post_init__(self) -> None: ...
    def normalize(self, width: float, height: float) -> None: ...
    def find_crop(self, x: float, y: float) -> set[CropData]: ...
    @staticmethod
    def _find(values: list[float], lookup: float) -> float | None: ...

class MeshCrop(RelativeCrop):
    number_crops_x: int
    number_crops_y: int
    morvane_width: float
    morvane_height: float
    renorm: bool
    crop: CropData | None
    crops: CropsData | None
    all_crops: CropsData
    params: dict[str, Any]

    def __init__(
        self,
        number_crops_x: int,
        number_crops_y: int,
        morvane_width: float,
        morvane_height: float,
        renorm: bool = True,
        **_kwargs: Any,
    ) -> None: ...
    def apply(self, img: np.ndarray[Any, Any], **params: Any) -> np.ndarray[Any, Any]: ...
    def apply_to_keypoints(
        self, keypoints: Any, rows: int | None = None, cols: int | None = None, **params: Any
    ) -> Any: ...
    def update_crops(self, crops: CropsData) -> None: ...
    def apply_crop(self, crop: CropData) -> None: ...
    def get_transform_init_args_names(self) -> tuple[str, ...]: ...
    @classmethod
    def get_class_fullname(cls) -> str: ...
    def x1(self, i: int) -> float: ...
    def x2(self, i: int) -> float: ...
    def y1(self, i: int) -> float: ...
    def y2(self, i: int) -> float: ...
    @property
    def batches_per_index(self) -> int: ...
