from typing import Any, Literal

import numpy as np

_vector_math_path: str  # "avx512", "avx2", "sse2" or "scalar": the cos/sin/atan2 variant in use

def box_area(boxes: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]: ...
def box_iou(
    boxes_a: np.ndarray[Any, Any],
    boxes_b: np.ndarray[Any, Any],
    *,
    mode: Literal["iou", "iof", "area"] = "iou",
    aligned: bool = False,
    threads: int | None = None,
) -> np.ndarray[Any, Any]: ...
def box_iou_pairs(
    boxes_a: np.ndarray[Any, Any],
    boxes_b: np.ndarray[Any, Any],
    *,
    mode: Literal["iou", "iof", "area"] = "iou",
    min_value: float = 0.0,
    threads: int | None = None,
) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any], np.ndarray[Any, Any]]: ...
def nms(
    boxes: np.ndarray[Any, Any],
    scores: np.ndarray[Any, Any],
    iou_threshold: float,
    *,
    score_threshold: float | None = None,
    threads: int | None = None,
) -> np.ndarray[Any, Any]: ...
def batched_nms(
    boxes: np.ndarray[Any, Any],
    scores: np.ndarray[Any, Any],
    classes: np.ndarray[Any, Any],
    iou_threshold: float,
    *,
    score_threshold: float | None = None,
    threads: int | None = None,
) -> np.ndarray[Any, Any]: ...
def visible_fraction(
    boxes: np.ndarray[Any, Any], image_size: tuple[float, float] | np.ndarray[Any, Any]
) -> np.ndarray[Any, Any]: ...
def box_convert(
    boxes: np.ndarray[Any, Any],
    in_fmt: Literal["orva", "cxcywhr", "xywhr", "xyxyxyxy", "opencv", "le90", "le135", "oc", "ultralytics", "poly"],
    out_fmt: Literal["orva", "cxcywhr", "xywhr", "xyxyxyxy", "opencv", "le90", "le135", "oc", "ultralytics", "poly"],
) -> np.ndarray[Any, Any]: ...
