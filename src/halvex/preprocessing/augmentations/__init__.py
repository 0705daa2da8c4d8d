"""Albumentations transforms."""
