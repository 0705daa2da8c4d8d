"""Rotated-box geometry and Albumentations transforms, as native extension modules."""
