"""Every Python-visible callable of the native modules, and a valid call of each.

The reliability suites (hostile input, leaks, threads) find the callables by
introspection, so a function or method added to a module is fuzzed without
touching this file.  What they cannot guess is a *valid* call; that lives in
VALID below, one entry per callable, keyed "module.Qualified.name".  A
callable without an entry is still fuzzed, from its signature alone.
"""

import dataclasses
import importlib
import inspect

import albumentations as A
import numpy as np

PACKAGE = "halvex.preprocessing"
MODULES = {
    "kestril": f"{PACKAGE}.kestril",
    **{
        name: f"{PACKAGE}.augmentations.transform.{name}"
        for name in ("morvane", "dalmire", "quenfor", "brisel", "orvetta")
    },
    "ops": "halvex.ops",
}

# Dunder methods that the modules define and that callers reach.
CALLED_DUNDERS = {"__init__", "__call__", "__getitem__", "__len__", "__post_init__"}


@dataclasses.dataclass(frozen=True)
class Target:
    """One callable: `kestril.orva_to_keypoints`, `morvane.MeshCrop.x1`, `dalmire.RelativeCenterCrop`."""

    key: str
    module: str
    owner: str | None  # class name for methods and constructors
    attribute: str | None  # None for the constructor of `owner`
    kind: str  # function, constructor, method, classmethod, staticmethod, property

    def __str__(self):
        return self.key

    def function(self):
        """The function object behind the target (for its signature)."""
        namespace = vars(importlib.import_module(MODULES[self.module]))
        if self.owner is None:
            return namespace[self.attribute]
        cls = namespace[self.owner]
        member = vars(cls)["__init__" if self.attribute is None else self.attribute]
        return member.fget if isinstance(member, property) else getattr(member, "__func__", member)

    def parameters(self):
        """Parameter names a caller supplies (no self/cls)."""
        names = list(inspect.signature(self.function()).parameters.values())
        if self.kind in ("constructor", "method", "classmethod", "property"):
            names = names[1:]
        return names


def _is_ours(value, module_name):
    return type(value).__name__ == "halvex_function" and value.__module__ == module_name


def discover():
    """All targets of all modules, in module and definition order."""
    targets = []
    for short, qualified in MODULES.items():
        module = importlib.import_module(qualified)
        for name, value in vars(module).items():
            if name.startswith("__"):
                continue
            if _is_ours(value, qualified):
                targets.append(Target(f"{short}.{name}", short, None, name, "function"))
            elif inspect.isclass(value) and value.__module__ == qualified:
                if _is_ours(vars(value).get("__init__"), qualified):
                    targets.append(Target(f"{short}.{name}", short, name, None, "constructor"))
                for attribute, member in vars(value).items():
                    if attribute.startswith("__") and attribute not in CALLED_DUNDERS - {"__init__"}:
                        continue
                    kind = {classmethod: "classmethod", staticmethod: "staticmethod", property: "property"}.get(
                        type(member), "method"
                    )
                    inner = member.fget if kind == "property" else getattr(member, "__func__", member)
                    if _is_ours(inner, qualified):
                        targets.append(Target(f"{short}.{name}.{attribute}", short, name, attribute, kind))
    return targets


def module(short):
    return importlib.import_module(MODULES[short])


def cls(short, name):
    return getattr(module(short), name)


# ---- valid calls ---------------------------------------------------------------------


@dataclasses.dataclass
class Case:
    """A valid call: `call(*args, **kwargs)`.

    `writes` names the parameters whose arrays the call writes in place; every
    other array reachable from the arguments must come back unchanged.
    `bounded` names integer parameters that size a Python-level loop (a huge
    value there is a legitimate hang, not a fault).
    """

    call: object
    args: tuple = ()
    kwargs: dict = dataclasses.field(default_factory=dict)
    writes: frozenset = frozenset()
    bounded: frozenset = frozenset()
    host: frozenset = frozenset({"img"})
    writes_without_assertions: frozenset = frozenset()


rng = np.random.default_rng(7)


def orva(n=4):
    boxes = rng.uniform(1, 50, (n, 5))
    boxes[:, 4] = rng.uniform(-3, 3, n)
    return boxes


def parallelograms(n=4):
    return rng.uniform(-20, 20, (n, 3, 2))


def image(rows=20, cols=30, channels=3):
    return rng.integers(0, 255, (rows, cols, channels), dtype=np.uint8)


def updated(transform, rows=20, cols=30):
    params = transform.update_params({}, image=image(rows, cols))
    return transform, params


def crops_data():
    CropData, CropsData = cls("morvane", "CropData"), cls("morvane", "CropsData")
    return CropsData([CropData(0, 2, 0.0, 0.5, 0.0, 1.0, 2, 1), CropData(1, 2, 0.5, 1.0, 0.0, 1.0, 2, 1)])


def pixel_crops():
    CropData, CropsData = cls("morvane", "CropData"), cls("morvane", "CropsData")
    return CropsData([CropData(k, 2, float(k), 10.0, 0.0, 8.0, 2, 1) for k in range(2)])


def structured(rows=6, cols=5):
    fields = [("red", np.uint8), ("green", np.uint8), ("blue", np.uint8), ("nir", np.float32)]
    values = np.zeros((rows, cols), dtype=fields)
    for field in ("red", "green", "blue"):
        values[field] = rng.integers(0, 255, (rows, cols))
    values["nir"] = rng.uniform(0, 2, (rows, cols))
    return values


def channels():
    def channel(selection, operation=None, **bounds):
        record = {"channel": {"channel_type": {"selection": selection}}}
        if operation is not None:
            record["channel"]["enable_operations"] = {"operations": {"selection": operation, **bounds}}
        return record

    return [channel("red"), channel("nir", "absolute_cap", min=0.0, max=1.5), channel("gray", "normalize")]


class Member:
    """An orvetta member: a plain transform-like callable."""

    def __init__(self, p):
        self.p = p

    def __call__(self, *args, force_apply=False, **data):
        return dict(data, applied=True)


def one_of():
    return cls("orvetta", "OneOfRetainProb")([Member(0.3), Member(0.6)], 1.0)


def keypoint_lists(boxes=3):
    kestril = module("kestril")
    flat = kestril.orva_to_keypoints(orva(boxes))
    instances, positions = kestril.keypoints_trivial_lookup(3 * boxes)
    order = rng.permutation(3 * boxes)
    return [flat[i] for i in order], [str(instances[i]) for i in order], [str(positions[i]) for i in order]


def _inference_corners(n):
    k = module("kestril")
    if not hasattr(k, "inference_boxes_to_corners"):
        return None, None
    return k.inference_boxes_to_corners(orva(n).astype(np.float32))


def _kestril():
    k = module("kestril")
    corners_a, distances_a = _inference_corners(3)
    corners_b, distances_b = _inference_corners(2)
    flat = rng.uniform(-5, 5, (6, 2))
    flat[[0, 3, 4], 1] = 0.0  # the longer half-axes lie on the x axis

    def points():
        return rng.normal(size=(3, 4, 2))

    def matrices():
        return rng.normal(size=(3, 2, 2))

    def angles():
        return rng.normal(size=3)

    segment_points = [np.array(p, dtype=float) for p in ([0, 0], [2, 2], [0, 2], [2, 0])]
    box_across_border = np.array([[-10.0, 10.0], [20.0, 10.0], [20.0, 30.0], [-10.0, 30.0]])
    return {
        "get_rotation_matrix_2d": lambda: Case(k.get_rotation_matrix_2d, (), {"angle_in_deg": 30.0}),
        # Under -O a points array n x 3 reaches np.arctan2 as three arguments, the third being `out`.
        "get_angles_from_points": lambda: Case(
            k.get_angles_from_points, (rng.normal(size=(5, 2)),), writes_without_assertions=frozenset({"points"})
        ),
        "rot_points_multi_rads": lambda: Case(
            k.rot_points_multi_rads, (points(), angles()), writes=frozenset({"points"})
        ),
        "rot_mats_multi_rads": lambda: Case(
            k.rot_mats_multi_rads, (matrices(), angles()), writes=frozenset({"matrices"})
        ),
        "orva_to_box_corners": lambda: Case(k.orva_to_box_corners, (orva(),)),
        "box_corners_to_orva": lambda: Case(k.box_corners_to_orva, (k.orva_to_box_corners(orva(3)), angles())),
        "orva_to_keypoints": lambda: Case(k.orva_to_keypoints, (orva(),)),
        "keypoints_to_orva": lambda: Case(
            k.keypoints_to_orva, (parallelograms(),), writes=frozenset({"keypoints"})
        ),
        "keypoints_to_box_corners": lambda: Case(k.keypoints_to_box_corners, (parallelograms(),)),
        "get_corner_points_from_box_tuples": lambda: Case(
            k.get_corner_points_from_box_tuples, (rng.normal(size=(4, 2, 2)),)
        ),
        "keypoints_trivial_lookup": lambda: Case(
            k.keypoints_trivial_lookup, (12,), bounded=frozenset({"number_of_keypoints"})
        ),
        "assemble_keypoints_after_shuffle": lambda: Case(
            k.assemble_keypoints_after_shuffle,
            keypoint_lists(3),
            {"labels": np.arange(3), "sizes": rng.normal(size=(3, 2))},
        ),
        "coordinate_transformation": lambda: Case(
            k.coordinate_transformation, (np.array([[2.0, 0.0], [1.0, 1.0], [1.0, 3.0]]),)
        ),
        "parallelogram_to_box": lambda: Case(
            k.parallelogram_to_box,
            (flat.copy(), np.array([0, 3, 4]), k.BoxReconstruction.MAX),
            writes=frozenset({"parallelogram_flat"}),
        ),
        "get_box_and_rotation_from_parallelogram_keypoints": lambda: Case(
            k.get_box_and_rotation_from_parallelogram_keypoints,
            (parallelograms(),),
            {"box_reconstruction_mode": k.BoxReconstruction.MIN},
        ),
        "intersect": lambda: Case(k.intersect, tuple(p.copy() for p in segment_points)),
        "clipper": lambda: Case(k.clipper, (box_across_border.copy(), np.array([100, 50]))),
        "inference_boxes_to_corners": lambda: Case(
            k.inference_boxes_to_corners, (orva(3).astype(np.float32),), {"size_factor": 1.5}
        ),
        "intersections": lambda: Case(
            k.intersections, (corners_a.copy(), distances_a.copy(), corners_b.copy(), distances_b.copy())
        ),
        "surrounding_rectangle_from_corners": lambda: Case(
            k.surrounding_rectangle_from_corners, (k.orva_to_box_corners(orva(3)),)
        ),
    }


BBOX, KEYPOINT = (0.1, 0.2, 0.5, 0.6), (3.0, 4.0, 0.0, 1.0)


def _size_checked(short, name, make, keypoint_method):
    """The methods that RelativeCrop, RelativeCenterCrop and RelativePadding share."""

    def applied(attribute, argument):
        def case():
            transform, params = updated(make())
            return Case(getattr(transform, attribute), (argument() if callable(argument) else argument,), params)

        return case

    keypoints = [KEYPOINT] if keypoint_method == "apply_to_keypoints" else KEYPOINT
    size_check = f"_{name}__check_after_update"
    prefix = f"{short}.{name}"
    return {
        f"{prefix}.update_params": lambda: Case(make().update_params, ({},), {"image": image()}),
        f"{prefix}.{size_check}": lambda: Case(
            getattr(updated(make())[0], size_check), (), {"rows": 20, "cols": 30}
        ),
        f"{prefix}.apply": applied("apply", image),
        f"{prefix}.apply_to_bbox": applied("apply_to_bbox", BBOX),
        f"{prefix}.{keypoint_method}": applied(keypoint_method, keypoints),
        f"{prefix}.get_transform_init_args_names": lambda: Case(make().get_transform_init_args_names),
        f"{prefix}.get_class_fullname": lambda: Case(cls(short, name).get_class_fullname),
    }


def _morvane():
    RelativeCrop, CropData, CropsData, MeshCrop = (
        cls("morvane", name) for name in ("RelativeCrop", "CropData", "CropsData", "MeshCrop")
    )

    def mesh():
        return MeshCrop(3, 2, 0.5, 0.6)

    def mesh_choosing():
        transform, params = updated(mesh())
        transform.update_crops(transform.all_crops)
        return Case(transform.apply_to_keypoints, ([KEYPOINT] * 4,), params)

    def mesh_applied():
        transform, params = updated(mesh())
        return Case(transform.apply, (image().astype(np.float32),), params)

    table = _size_checked("morvane", "RelativeCrop", lambda: RelativeCrop(0.1, 0.2, 0.6, 0.9), "apply_to_keypoints")
    table.update(
        {
            "morvane.RelativeCrop": lambda: Case(RelativeCrop, (0.1, 0.2, 0.6, 0.9), {"p": 0.5}),
            "morvane.RelativeCrop.update_child": lambda: Case(updated(RelativeCrop())[0].update_child),
            "morvane.CropData": lambda: Case(CropData, (0, 2, 0.0, 0.5, 0.0, 1.0, 2, 1)),
            "morvane.CropsData": lambda: Case(CropsData, (list(crops_data().data),)),
            "morvane.CropsData.__getitem__": lambda: Case(crops_data().__getitem__, (-1,)),
            "morvane.CropsData.__len__": lambda: Case(crops_data().__len__),
            "morvane.CropsData.__post_init__": lambda: Case(crops_data().__post_init__),
            "morvane.CropsData.normalize": lambda: Case(pixel_crops().normalize, (40.0, 30.0)),
            "morvane.CropsData.find_crop": lambda: Case(crops_data().find_crop, (0.7, 0.5)),
            "morvane.CropsData._find": lambda: Case(CropsData._find, ([0.0, 0.5, 1.0], 0.7)),
            "morvane.MeshCrop": lambda: Case(
                MeshCrop, (3, 2, 0.5, 0.6), {"renorm": False}, bounded=frozenset({"number_crops_x", "number_crops_y"})
            ),
            "morvane.MeshCrop.apply": mesh_applied,
            "morvane.MeshCrop.apply_to_keypoints": mesh_choosing,
            "morvane.MeshCrop.update_crops": lambda: Case(mesh().update_crops, (crops_data(),)),
            "morvane.MeshCrop.apply_crop": lambda: Case(mesh().apply_crop, (crops_data()[0],)),
            "morvane.MeshCrop.get_transform_init_args_names": lambda: Case(mesh().get_transform_init_args_names),
            "morvane.MeshCrop.get_class_fullname": lambda: Case(MeshCrop.get_class_fullname),
            "morvane.MeshCrop.batches_per_index": lambda: Case(lambda: mesh().batches_per_index),
        }
    )
    for edge in ("x1", "x2", "y1", "y2"):
        table[f"morvane.MeshCrop.{edge}"] = lambda edge=edge: Case(getattr(mesh(), edge), (1,))
    return table


def _brisel():
    ChannelAssembler = cls("brisel", "ChannelAssembler")

    def assembler():
        return ChannelAssembler(channels(), False, 1.0)

    return {
        "brisel.ChannelAssembler": lambda: Case(ChannelAssembler, (channels(), False, 1.0)),
        "brisel.ChannelAssembler.retrieve_channel": lambda: Case(
            ChannelAssembler.retrieve_channel, ("grey", structured())
        ),
        "brisel.ChannelAssembler.apply": lambda: Case(assembler().apply, (structured(),), {"rows": 6}),
        "brisel.ChannelAssembler.apply_to_bbox": lambda: Case(assembler().apply_to_bbox, (BBOX,)),
        "brisel.ChannelAssembler.apply_to_keypoint": lambda: Case(assembler().apply_to_keypoint, (KEYPOINT,)),
        "brisel.ChannelAssembler.get_transform_init_args_names": lambda: Case(
            assembler().get_transform_init_args_names
        ),
        "brisel.ChannelAssembler.get_class_fullname": lambda: Case(ChannelAssembler.get_class_fullname),
    }


def _orvetta():
    OneOfRetainProb = cls("orvetta", "OneOfRetainProb")
    return {
        "orvetta.OneOfRetainProb": lambda: Case(OneOfRetainProb, ([Member(0.3), Member(0.6)], 0.8)),
        "orvetta.OneOfRetainProb.__call__": lambda: Case(one_of(), (), {"force_apply": True, "image": image()}),
        "orvetta.OneOfRetainProb._to_dict": lambda: Case(OneOfRetainProb([A.HorizontalFlip(p=0.5)], 1.0)._to_dict),
        "orvetta.OneOfRetainProb.get_class_fullname": lambda: Case(OneOfRetainProb.get_class_fullname),
    }


def _ops():
    ops = module("ops")

    def scores(n):
        return rng.uniform(0, 1, n)

    return {
        "ops.box_area": lambda: Case(ops.box_area, (orva(),)),
        "ops.box_iou": lambda: Case(ops.box_iou, (orva(4), orva(3)), {"mode": "iof", "aligned": False, "threads": 2}),
        "ops.box_iou_pairs": lambda: Case(
            ops.box_iou_pairs, (orva(4), orva(3)), {"mode": "iou", "min_value": 0.1, "threads": 1}
        ),
        "ops.nms": lambda: Case(ops.nms, (orva(5), scores(5), 0.3), {"score_threshold": 0.1, "threads": 2}),
        "ops.batched_nms": lambda: Case(
            ops.batched_nms, (orva(5), scores(5), np.array([0, 1, 0, 1, 0]), 0.3), {"score_threshold": 0.1}
        ),
        "ops.visible_fraction": lambda: Case(ops.visible_fraction, (orva(4), np.array([40.0, 30.0]))),
    }


def _conventions():
    ops = module("ops")
    return {"ops.box_convert": lambda: Case(ops.box_convert, (orva(), "orva", "poly"))}


def _valid():
    table = {f"kestril.{name}": factory for name, factory in _kestril().items()}
    table.update(_ops())
    table.update(_morvane())
    RelativeCenterCrop, RelativePadding = cls("dalmire", "RelativeCenterCrop"), cls("quenfor", "RelativePadding")
    table.update(_size_checked("dalmire", "RelativeCenterCrop", lambda: RelativeCenterCrop(1.5), "apply_to_keypoint"))
    table["dalmire.RelativeCenterCrop"] = lambda: Case(RelativeCenterCrop, (1.5,), {"p": 0.5})
    table.update(_size_checked("quenfor", "RelativePadding", lambda: RelativePadding(1.5), "apply_to_keypoint"))
    table["quenfor.RelativePadding"] = lambda: Case(RelativePadding, (1.5,), {"value": 3})
    table.update(_brisel())
    table.update(_orvetta())
    table.update(_conventions())
    return table


VALID = _valid()


def valid_case(target):
    """A fresh valid call of `target`, or None when the table has no entry."""
    factory = VALID.get(target.key)
    return None if factory is None else factory()


def default_instance(target):
    """An instance to call an unlisted method on: the class with no arguments, if it allows that."""
    try:
        return cls(target.module, target.owner)()
    except Exception:
        return None


def unlisted_call(target):
    """What to call for a target that has no VALID entry, or None."""
    owner = cls(target.module, target.owner) if target.owner else None
    if target.kind == "function":
        return getattr(module(target.module), target.attribute)
    if target.kind == "constructor":
        return owner
    if target.kind in ("classmethod", "staticmethod"):
        return getattr(owner, target.attribute)
    instance = default_instance(target)
    if instance is None:
        return None
    if target.kind == "property":
        return lambda: getattr(instance, target.attribute)
    return getattr(instance, target.attribute)


TARGETS = discover()
