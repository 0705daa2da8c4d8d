from typing import Any, Literal

import numpy as np

def box_convert(
    boxes: np.ndarray[Any, Any],
    in_fmt: Literal["orva", "cxcywhr", "xywhr", "xyxyxyxy", "opencv", "le90", "le135", "oc", "ultralytics", "poly"],
    out_fmt: Literal["orva", "cxcywhr", "xywhr", "xyxyxyxy", "opencv", "le90", "le135", "oc", "ultralytics", "poly"],
) -> np.ndarray[Any, Any]: ...
