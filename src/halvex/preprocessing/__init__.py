"""Preprocessing: rotated-box geometry (kestril) and augmentations."""
