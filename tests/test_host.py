"""What the five transform modules share through their host layer."""

import pytest

from halvex.preprocessing.augmentations.transform.brisel import ChannelAssembler
from halvex.preprocessing.augmentations.transform.dalmire import RelativeCenterCrop
from halvex.preprocessing.augmentations.transform.morvane import MeshCrop, RelativeCrop
from halvex.preprocessing.augmentations.transform.orvetta import OneOfRetainProb
from halvex.preprocessing.augmentations.transform.quenfor import RelativePadding

TRANSFORMS = [RelativeCrop, MeshCrop, RelativeCenterCrop, RelativePadding, ChannelAssembler, OneOfRetainProb]


class Text(str):
    """A str subclass: type.__name__ accepts it, the declared `-> str` does not."""


@pytest.mark.parametrize("transform", TRANSFORMS, ids=lambda t: t.__name__)
def test_get_class_fullname_is_the_name_of_the_class_it_is_called_on(transform):
    subclass = type(f"Host{transform.__name__}", (transform,), {})
    assert transform.get_class_fullname() == transform.__name__
    assert subclass.get_class_fullname() == f"Host{transform.__name__}"
    subclass.__name__ = Text("Renamed")
    with pytest.raises(TypeError, match="^Expected str, got Text$"):
        subclass.get_class_fullname()


@pytest.mark.parametrize("transform", [RelativeCrop, RelativeCenterCrop, RelativePadding], ids=lambda t: t.__name__)
def test_size_checked_transforms_mangle_their_own_private_names(transform):
    names = vars(transform)
    assert f"_{transform.__name__}__check_after_update" in names
    assert "__check_after_update" not in names
