from typing import Any, Literal

import numpy as np
