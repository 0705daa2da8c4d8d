"""Transform modules: morvane, dalmire, quenfor, brisel, orvetta.

They subclass Albumentations 1.1.0's transforms and use OpenCV; both come with the
extra: pip install 'halvex[transforms]'.
"""

_INSTALL_NOTE = (
    "halvex's transforms need Albumentations 1.1.0 and OpenCV, which come with its extra: "
    "pip install 'halvex[transforms]'"
)

try:
    import albumentations as _albumentations
    import cv2 as _cv2  # noqa: F401
except ModuleNotFoundError as missing:
    missing.add_note(_INSTALL_NOTE)
    raise

# Later releases changed the interfaces the transforms rely on; refuse them here
# rather than fail somewhere inside a pipeline.
if _albumentations.__version__ != "1.1.0":
    _wrong_version = ImportError(
        f"halvex's transforms need Albumentations 1.1.0, not {_albumentations.__version__}",
        name=__name__,
    )
    _wrong_version.add_note(_INSTALL_NOTE)
    raise _wrong_version
