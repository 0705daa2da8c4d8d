"""The transforms reach their Albumentations base methods as super(Class, self) would.

The apply methods hand every image, box and keypoint to the base class; they
find the base method without making a super object each time, and must find
the same one: a class between them and the base in a subclass's MRO, a base
attribute that is not a plain function, a rebound module-level `super`.
"""

import albumentations as A
import numpy as np
import pytest

from halvex.preprocessing.augmentations.transform import dalmire, morvane, quenfor

IMAGE = np.arange(40 * 60 * 3, dtype=np.uint8).reshape(40, 60, 3)

# (module, class name, base class, method, argument): one apply method per transform.
CASES = [
    (quenfor, "RelativePadding", A.PadIfNeeded, "apply_to_keypoint", (3.0, 4.0, 0.0, 0.0)),
    (quenfor, "RelativePadding", A.PadIfNeeded, "apply", IMAGE),
    (dalmire, "RelativeCenterCrop", A.CenterCrop, "apply_to_keypoint", (30.0, 20.0, 0.0, 0.0)),
    (dalmire, "RelativeCenterCrop", A.CenterCrop, "apply_to_bbox", (0.2, 0.2, 0.6, 0.6)),
    (morvane, "RelativeCrop", A.Crop, "apply_to_keypoints", [(3.0, 4.0, 0.0, 0.0)]),
    (morvane, "MeshCrop", A.Crop, "apply", IMAGE),
]

ARGUMENTS = {"RelativePadding": ((2.0,), {}), "RelativeCenterCrop": ((0.5,), {}),
             "RelativeCrop": ((0.1, 0.1, 0.9, 0.9), {}), "MeshCrop": ((2, 2, 0.6, 0.6), {"renorm": False})}  # fmt: skip


def prepared(cls, name):
    arguments, keywords = ARGUMENTS[name]
    transform = cls(*arguments, **keywords)
    params = transform.update_params({}, image=IMAGE)
    return transform, params


def ids(case):
    return f"{case[1]}.{case[3]}" if isinstance(case, tuple) else None


@pytest.mark.parametrize("case", CASES, ids=ids)
def test_a_class_between_in_the_mro_is_the_base(case):
    module, name, base, method, argument = case
    calls = []

    def recording(self, item, **params):
        calls.append((self, dict(params)))
        return getattr(base, method)(self, item, **params)

    Between = type("Between", (base,), {method: recording})
    Sub = type("Sub", (getattr(module, name), Between), {})
    transform, params = prepared(Sub, name)
    expected = getattr(base, method)(transform, argument, **params)
    result = getattr(transform, method)(argument, **params)
    assert calls and calls[-1][0] is transform and calls[-1][1] == params
    if isinstance(expected, np.ndarray):
        np.testing.assert_array_equal(result, expected)
    else:
        assert result == expected


@pytest.mark.parametrize("case", CASES, ids=ids)
def test_a_base_attribute_that_is_not_a_function_is_still_bound_by_super(case):
    module, name, base, method, argument = case
    seen = []

    class Callable:
        def __get__(self, instance, owner):
            seen.append(instance)
            return lambda item, **params: ("bound", item, sorted(params))

    Between = type("Between", (base,), {method: Callable()})
    Sub = type("Sub", (getattr(module, name), Between), {})
    transform, params = prepared(Sub, name)
    result = getattr(transform, method)(argument, **params)
    assert seen == [transform] and result[0] == "bound" and result[2] == sorted(params)


def test_base_gets_its_own_keyword_dict():
    calls = []

    def mutating(self, keypoint, **params):
        params["rows"] = -1
        calls.append(params)
        return keypoint

    Between = type("Between", (A.PadIfNeeded,), {"apply_to_keypoint": mutating})
    Sub = type("Sub", (quenfor.RelativePadding, Between), {})
    transform, params = prepared(Sub, "RelativePadding")
    before = dict(params)
    for _ in range(2):
        transform.apply_to_keypoint((1.0, 2.0, 0.0, 0.0), **params)
    assert params == before and calls[0] is not calls[1]


def test_a_rebound_module_level_super_is_used(monkeypatch):
    used = []

    def recording_super(cls, obj):
        used.append(cls)
        return super(cls, obj)

    transform, params = prepared(quenfor.RelativePadding, "RelativePadding")
    monkeypatch.setitem(vars(quenfor), "super", recording_super)
    assert transform.apply_to_keypoint((1.0, 2.0, 0.0, 0.0), **params) == (1.0 + params["pad_left"],
                                                                            2.0 + params["pad_top"], 0.0, 0.0)
    assert used == [quenfor.RelativePadding]


class Name(str):
    pass


@pytest.mark.parametrize("spell", [lambda key: "".join(list(key)), Name], ids=["not interned", "str subclass"])
def test_size_check_reads_keywords_however_their_names_were_made(spell):
    transform, params = prepared(quenfor.RelativePadding, "RelativePadding")
    keypoint = (1.0, 2.0, 0.0, 0.0)
    expected = transform.apply_to_keypoint(keypoint, **params)
    respelled = {spell(key): value for key, value in params.items()}
    assert transform.apply_to_keypoint(keypoint, **respelled) == expected
    respelled[spell("rows")] = params["rows"] + 1
    with pytest.raises(NotImplementedError, match=f"Rows {params['rows'] + 1} does not match expected height"):
        transform.apply_to_keypoint(keypoint, **respelled)
