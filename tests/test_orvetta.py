"""OneOfRetainProb: at most one member per call, chosen with the members' own probabilities."""

import collections
import pickle
import random

import albumentations as A
import numpy as np
import pytest

from halvex.preprocessing.augmentations.transform import orvetta
from halvex.preprocessing.augmentations.transform.orvetta import OneOfRetainProb


class Recorder:
    """A member that notes how it was called and marks the data it returns."""

    def __init__(self, name, p, log):
        self.name, self.p, self.log = name, p, log

    def __call__(self, *args, force_apply=False, **data):
        self.log.append((self.name, force_apply))
        return dict(data, applied=data.get("applied", ()) + (self.name,))


def members(*ps):
    log = []
    return [Recorder(f"m{i}", p, log) for i, p in enumerate(ps)], log


# ---- construction ----------------------------------------------------------------


@pytest.mark.parametrize(
    "member_ps, p, expected_p, expected_ps",
    [
        ((0.2, 0.3), 1.0, 0.5, [0.4, 0.6]),
        ((1.0, 1.0), 0.5, 0.5, [0.5, 0.5]),
        ((0.5, 0.5), 0.7, 0.7, [0.5, 0.5]),
        ((0.25,), 0.8, 0.2, [1.0]),
        ((), 0.5, 0.0, []),
    ],
)
def test_probability_retention(member_ps, p, expected_p, expected_ps):
    composition = OneOfRetainProb(members(*member_ps)[0], p)
    assert composition.p == pytest.approx(expected_p, abs=1e-15)
    assert composition.transforms_ps == pytest.approx(expected_ps, abs=1e-15)
    assert type(composition.transforms_ps) is list


def test_default_probability_and_integer_p():
    assert OneOfRetainProb(members(1.0)[0]).p == 0.5
    composition = OneOfRetainProb(members(1.0)[0], 1)
    assert composition.p == 1.0 and type(composition.p) is float


def test_member_probabilities_are_taken_as_they_are():
    # Fractions stay fractions: no conversion of the members' p.
    from fractions import Fraction

    composition = OneOfRetainProb(members(Fraction(1, 4), Fraction(1, 4))[0], 1.0)
    assert composition.p == 0.5
    assert composition.transforms_ps == [Fraction(1, 2), Fraction(1, 2)]


@pytest.mark.parametrize(
    "arguments, error, text",
    [
        ((members(0.0, 0.0)[0],), ZeroDivisionError, None),
        (([object()],), AttributeError, "p"),
        ((tuple(members(0.5)[0]),), TypeError, "Argument 'transforms' has incorrect type (expected list, got tuple)"),
        ((None,), TypeError, "expected list, got NoneType"),
        ((members(0.5)[0], "high"), TypeError, None),
        ((), TypeError, "__init__() takes at least 2 positional arguments (1 given)"),
    ],
)
def test_construction_errors(arguments, error, text):
    with pytest.raises(error) as raised:
        OneOfRetainProb(*arguments)
    if text:
        assert text in str(raised.value)


def test_list_subclass_is_rejected_with_a_note():
    class Members(list):
        pass

    with pytest.raises(TypeError) as raised:
        OneOfRetainProb(Members(members(0.5)[0]))
    assert raised.value.__notes__


def test_later_member_changes_do_not_move_the_choice():
    transforms, _ = members(0.2, 0.3)
    composition = OneOfRetainProb(transforms, 1.0)
    transforms[0].p = 0.9
    assert composition.transforms_ps == pytest.approx([0.4, 0.6])
    assert composition.p == 0.5


# ---- calls -----------------------------------------------------------------------


def test_force_apply_skips_the_gate_and_forces_the_member(monkeypatch):
    transforms, log = members(0.3)
    composition = OneOfRetainProb(transforms, 0.0)
    assert composition.p == 0.0

    def no_gate():
        raise AssertionError("random.random() must not be drawn under force_apply")

    monkeypatch.setattr(random, "random", no_gate)
    result = composition(force_apply=True, image="x")
    assert result == {"image": "x", "applied": ("m0",)}
    # The member's own p (0.3) is bypassed, not applied a second time.
    assert log == [("m0", True)]


def test_force_apply_converts_by_truth_value_and_is_keyword_only():
    transforms, log = members(1.0)
    composition = OneOfRetainProb(transforms, 0.0)
    assert composition(force_apply=1, image=0)["applied"] == ("m0",)
    assert composition(force_apply=[], image=0) == {"image": 0}
    # Positional arguments are accepted and ignored.
    assert composition(True, image=0) == {"image": 0}
    assert len(log) == 1


def test_empty_composition_returns_data_unchanged():
    composition = OneOfRetainProb([], 1.0)
    data = {"image": np.zeros(3), "bboxes": []}
    for force_apply in (False, True):
        result = composition(force_apply=force_apply, **data)
        assert result.keys() == data.keys() and result["image"] is data["image"]


def test_not_applied_returns_the_data():
    composition = OneOfRetainProb(members(1.0)[0], 0.0)
    assert composition(image=1, mask=2) == {"image": 1, "mask": 2}


def test_replay_mode_calls_every_member_in_order_without_force_apply():
    transforms, log = members(0.0, 0.7, 0.1)
    composition = OneOfRetainProb(transforms, 0.0)
    composition.replay_mode = True
    result = composition(image=5)
    assert result == {"image": 5, "applied": ("m0", "m1", "m2")}
    assert log == [("m0", False), ("m1", False), ("m2", False)]


def test_replay_mode_with_empty_probabilities_still_replays():
    transforms, log = members(0.5)
    composition = OneOfRetainProb(transforms, 1.0)
    composition.transforms_ps = []
    composition.replay_mode = True
    assert composition(image=0)["applied"] == ("m0",)


@pytest.mark.parametrize(
    "returned, error",
    [(None, None), ({"a": 1}, None), ([1], "Expected dict, got list"),
     (collections.OrderedDict(), "Expected dict, got collections.OrderedDict")],
)
def test_result_must_be_a_dict_or_none(returned, error):
    class Member:
        p = 1.0

        def __call__(self, **data):
            return returned

    composition = OneOfRetainProb([Member()], 1.0)
    if error is None:
        assert composition(force_apply=True, image=0) == returned
    else:
        with pytest.raises(TypeError, match=error):
            composition(force_apply=True, image=0)


def test_replay_of_a_non_mapping_result_fails_like_double_star():
    class Member:
        p = 1.0

        def __call__(self, **data):
            return None

    composition = OneOfRetainProb([Member(), Member()], 1.0)
    composition.replay_mode = True
    with pytest.raises(TypeError, match="argument after \\*\\* must be a mapping, not NoneType"):
        composition(image=0)


def test_member_errors_propagate():
    class Broken:
        p = 1.0

        def __call__(self, **data):
            raise KeyError("broken member")

    with pytest.raises(KeyError, match="broken member"):
        OneOfRetainProb([Broken()], 1.0)(force_apply=True, image=0)


# ---- the draw --------------------------------------------------------------------


def test_draw_equals_albumentations_one_of_under_the_same_seed():
    transforms, log = members(0.1, 0.5, 0.2, 0.15)
    ours = OneOfRetainProb(transforms, 0.9)
    theirs = A.OneOf(transforms, p=ours.p)
    assert theirs.transforms_ps == pytest.approx(ours.transforms_ps)
    for seed in range(3000):
        random.seed(seed)
        mine = ours(image=seed).get("applied")
        state_after_ours = random.getstate()
        random.seed(seed)
        reference = theirs(image=seed).get("applied")
        assert mine == reference
        assert random.getstate() == state_after_ours


def test_reproducible_under_random_seed_and_numpy_state_untouched():
    composition = OneOfRetainProb(members(0.3, 0.3, 0.3)[0], 1.0)
    numpy_state = np.random.get_state()[1].copy()

    def run():
        random.seed(1234)
        return [composition(image=0).get("applied") for _ in range(500)]

    assert run() == run()
    assert (np.random.get_state()[1] == numpy_state).all()


def test_random_draws_follow_the_documented_order(monkeypatch):
    calls = []
    real_random, real_randint = random.random, random.randint
    monkeypatch.setattr(random, "random", lambda: calls.append("random") or 0.0)
    monkeypatch.setattr(random, "randint", lambda a, b: calls.append(("randint", a, b)) or 7)
    transforms, _ = members(0.5, 0.5)
    composition = OneOfRetainProb(transforms, 1.0)
    chosen = composition(image=0)["applied"]
    expected = np.random.RandomState(7).choice(transforms, p=[0.5, 0.5]).name
    assert chosen == (expected,)
    assert calls == ["random", ("randint", 0, 4294967295)]
    calls.clear()
    composition(force_apply=True, image=0)
    assert calls == [("randint", 0, 4294967295)]
    assert real_random is not random.random and real_randint is not random.randint


@pytest.mark.parametrize("member_ps", [(0.5, 0.5), (0.1, 0.6, 0.3), (1e-9, 1.0, 3.0, 0.25, 0.0, 7.5)])
def test_choice_equals_numpy_random_state_for_many_seeds(monkeypatch, member_ps):
    transforms, _ = members(*member_ps)
    composition = OneOfRetainProb(transforms, 1.0)
    seeds = [0, 1, 4294967295, *np.random.default_rng(len(member_ps)).integers(0, 2**32, 6000).tolist()]
    seed_iterator = iter(seeds)
    monkeypatch.setattr(random, "randint", lambda a, b: next(seed_iterator))
    for seed in seeds:
        chosen = composition(force_apply=True, image=0)["applied"][-1]
        expected = np.random.RandomState(seed).choice(transforms, p=composition.transforms_ps)
        assert chosen == expected.name, seed


def test_unusual_members_and_probabilities_are_drawn_by_numpy(monkeypatch):
    # Sequence-like members and non-float probabilities take numpy's road,
    # errors included.
    class SequenceMember(list):
        p = 1.0

        def __call__(self, **data):
            return dict(data, applied="sequence")

    composition = OneOfRetainProb([SequenceMember([1, 2])], 1.0)
    with pytest.raises(ValueError):
        composition(force_apply=True, image=0)
    transforms, _ = members(0.5, 0.5)
    composition = OneOfRetainProb(transforms, 1.0)
    composition.transforms_ps = [0.5, 0.6]
    with pytest.raises(ValueError, match="probabilities do not sum to 1"):
        composition(force_apply=True, image=0)
    composition.transforms_ps = [np.float64(0.25), 0.75]
    monkeypatch.setattr(random, "randint", lambda a, b: 3)
    expected = np.random.RandomState(3).choice(transforms, p=[0.25, 0.75]).name
    assert composition(force_apply=True, image=0)["applied"] == (expected,)


@pytest.mark.parametrize(
    "member_ps, p",
    [((0.2, 0.3), 1.0), ((1.0, 1.0), 0.5), ((0.1, 0.6, 0.3), 0.8)],
)
def test_member_frequencies(member_ps, p):
    calls = 100_000
    transforms, log = members(*member_ps)
    composition = OneOfRetainProb(transforms, p)
    random.seed(2024)
    for _ in range(calls):
        composition(image=0)
    counts = collections.Counter(name for name, _ in log)
    total = sum(member_ps)
    for i, p_i in enumerate(member_ps):
        expected = p * p_i / max(total, 1.0)
        observed = counts[f"m{i}"] / calls
        # five standard deviations of a binomial proportion
        assert abs(observed - expected) < 5 * (expected * (1 - expected) / calls) ** 0.5, (i, observed, expected)


# ---- inside Albumentations -------------------------------------------------------


def pipeline(composition_p=1.0):
    return A.Compose(
        [OneOfRetainProb([A.HorizontalFlip(p=0.4), A.VerticalFlip(p=0.6)], composition_p)],
        bbox_params=A.BboxParams(format="pascal_voc", label_fields=["labels"]),
        keypoint_params=A.KeypointParams(format="xy"),
    )


def test_end_to_end_in_compose():
    image = np.arange(4 * 6 * 3, dtype=np.uint8).reshape(4, 6, 3)
    data = dict(image=image, bboxes=[(1, 1, 3, 2)], labels=[1], keypoints=[(1.0, 1.0)])
    seen = set()
    random.seed(5)
    for _ in range(60):
        result = pipeline()(**data)
        if np.array_equal(result["image"], image[:, ::-1]):
            seen.add("h")
            assert result["bboxes"] == [(3.0, 1.0, 5.0, 2.0)] and result["keypoints"] == [(4.0, 1.0)]
        elif np.array_equal(result["image"], image[::-1]):
            seen.add("v")
            assert result["bboxes"] == [(1.0, 2.0, 3.0, 3.0)] and result["keypoints"] == [(1.0, 2.0)]
        else:
            pytest.fail("a member with probabilities summing to 1 must always apply")
    assert seen == {"h", "v"}


def test_replay_compose_replays_the_choice():
    composition = A.ReplayCompose([OneOfRetainProb([A.HorizontalFlip(p=0.5), A.VerticalFlip(p=0.5)], 1.0)])
    image = np.arange(12, dtype=np.uint8).reshape(3, 4)
    for seed in range(10):
        random.seed(seed)
        first = composition(image=image)
        again = A.ReplayCompose.replay(first["replay"], image=image)
        assert np.array_equal(first["image"], again["image"])


def test_serialisation_round_trips_keep_the_behaviour():
    composition = OneOfRetainProb([A.HorizontalFlip(p=0.2), A.VerticalFlip(p=0.3)], 1.0)
    assert OneOfRetainProb.get_class_fullname() == "OneOfRetainProb"
    assert A.core.serialization.SERIALIZABLE_REGISTRY["OneOfRetainProb"] is OneOfRetainProb

    serialised = A.to_dict(composition)
    assert serialised["transform"]["p"] == 1.0
    restored = A.from_dict(serialised)
    assert type(restored) is OneOfRetainProb
    assert restored.p == composition.p == 0.5
    assert restored.transforms_ps == composition.transforms_ps

    restored = A.from_dict(A.to_dict(A.Compose([composition])))
    assert restored.transforms[0].p == 0.5

    unpickled = pickle.loads(pickle.dumps(composition))
    assert unpickled.p == 0.5 and unpickled.transforms_ps == composition.transforms_ps
    assert A.to_dict(unpickled) == serialised


def test_signatures_and_docstrings():
    assert OneOfRetainProb.__doc__ == (
        "Select exactly one transform while retaining original per-transform probabilities."
    )
    assert OneOfRetainProb.__init__.__doc__.splitlines()[0] == (
        "OneOfRetainProb.__init__(self, list transforms: list[Any], double p: float = 0.5) -> None"
    )
    assert OneOfRetainProb.__call__.__doc__.splitlines()[2] == (
        "Apply exactly one transform, or replay all transforms in replay mode."
    )
    assert OneOfRetainProb.get_class_fullname.__doc__.startswith("OneOfRetainProb.get_class_fullname(cls) -> str")
    assert isinstance(OneOfRetainProb.__dict__["get_class_fullname"], classmethod)
    assert issubclass(OneOfRetainProb, A.BaseCompose)
    assert orvetta.random is random and orvetta.np is np


def test_repeated_calls_do_not_leak():
    import sys

    composition = OneOfRetainProb(members(0.5, 0.5)[0], 1.0)
    image = object()
    before = sys.getrefcount(image)
    for _ in range(1000):
        composition(image=image)
    assert sys.getrefcount(image) == before
