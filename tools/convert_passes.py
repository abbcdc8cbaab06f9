"""Graph rewrites that tools/convert_models.py applies to the upstream
networks before wrapping them. Each leaves the network's results unchanged
(up to float rounding of a fused operator):

- `fuse_hard_swish`: x * clip(x + 3, 0, 6) / 6 spelled as Add, Clip, Mul and
  Div becomes one HardSwish node (opset 14). ONNX Runtime runs it as one
  kernel, and its layout optimiser keeps the convolutions around it in the
  blocked layout instead of converting back and forth at every activation.
- `shuffle_to_gather`: ShuffleNet's channel shuffle, Reshape to
  [1, g, C/g, H, W], Transpose and Reshape back to [1, C, H, W], becomes one
  Gather of the channels in their shuffled order. The exported shapes carry
  the batch and the spatial size of the export; the Gather carries neither,
  so the network runs at any input size and batch.
- `batch_free_reshapes`: [1, C, -1] flattening reshapes copy the batch
  (0) instead of fixing it to 1.
- `upgrade_opset`: what changes for the graph's own operators between
  opset 11 and `OPSET` (Split sizes move from an attribute to an input).
- `prefix_names`: every tensor and node name under a prefix, so that two
  networks can live in one graph.
"""

from __future__ import annotations

import numpy as np
import onnx
from onnx import helper, numpy_helper

OPSET = 14


def constant_value(g: onnx.GraphProto, name: str) -> np.ndarray | None:
    """The value of an initializer or Constant node output, else None."""
    for t in g.initializer:
        if t.name == name:
            return numpy_helper.to_array(t)
    for n in g.node:
        if n.op_type == "Constant" and n.output[0] == name:
            for a in n.attribute:
                if a.name == "value":
                    return numpy_helper.to_array(a.t)
    return None


def _consumers(g: onnx.GraphProto) -> dict[str, list[onnx.NodeProto]]:
    users: dict[str, list[onnx.NodeProto]] = {}
    for n in g.node:
        for name in n.input:
            users.setdefault(name, []).append(n)
    return users


def _producers(g: onnx.GraphProto) -> dict[str, onnx.NodeProto]:
    return {out: n for n in g.node for out in n.output}


def _is_scalar(g: onnx.GraphProto, name: str, value: float) -> bool:
    v = constant_value(g, name)
    return v is not None and v.size == 1 and float(v.reshape(-1)[0]) == value


def _replace(g: onnx.GraphProto, remove: list[onnx.NodeProto], add: dict[int, onnx.NodeProto]) -> None:
    """Drop the nodes in remove; add[i] takes the place of node i."""
    drop = {id(n) for n in remove}
    kept = []
    for n in g.node:
        if id(n) in add:
            kept.append(add[id(n)])
        elif id(n) not in drop:
            kept.append(n)
    copies = [onnx.NodeProto() for _ in kept]
    for dst, src in zip(copies, kept):
        dst.CopyFrom(src)
    del g.node[:]
    g.node.extend(copies)


def _only_user(users, name: str, node: onnx.NodeProto, outputs: set[str]) -> bool:
    return name not in outputs and [id(n) for n in users.get(name, [])] == [id(node)]


def fuse_hard_swish(g: onnx.GraphProto) -> int:
    """Div(Mul(x, Clip(Add(x, 3), 0, 6)), 6) -> HardSwish(x). Returns the
    number of fused activations."""
    users, prod = _consumers(g), _producers(g)
    outputs = {o.name for o in g.output}
    remove, add = [], {}
    for div in g.node:
        if div.op_type != "Div" or not _is_scalar(g, div.input[1], 6.0):
            continue
        mul = prod.get(div.input[0])
        if mul is None or mul.op_type != "Mul" or not _only_user(users, mul.output[0], div, outputs):
            continue
        for x, clipped in ((mul.input[0], mul.input[1]), (mul.input[1], mul.input[0])):
            clip = prod.get(clipped)
            if clip is None or clip.op_type != "Clip" or len(clip.input) != 3 \
                    or not _only_user(users, clip.output[0], mul, outputs) \
                    or not _is_scalar(g, clip.input[1], 0.0) or not _is_scalar(g, clip.input[2], 6.0):
                continue
            plus = prod.get(clip.input[0])
            if plus is None or plus.op_type != "Add" or not _only_user(users, plus.output[0], clip, outputs):
                continue
            if sorted([plus.input[0] == x, plus.input[1] == x]) != [False, True]:
                continue
            three = plus.input[1] if plus.input[0] == x else plus.input[0]
            if not _is_scalar(g, three, 3.0):
                continue
            add[id(div)] = helper.make_node("HardSwish", [x], [div.output[0]], name=div.name or mul.name)
            remove += [mul, clip, plus]
            break
    _replace(g, remove, add)
    drop_unused_constants(g)
    return len(add)


def shuffle_to_gather(g: onnx.GraphProto) -> int:
    """Reshape [1, k, C/k, H, W] -> Transpose [0, 2, 1, 3, 4] -> Reshape
    [1, C, H, W] becomes Gather(x, order, axis=1). Returns the count."""
    users, prod = _consumers(g), _producers(g)
    outputs = {o.name for o in g.output}
    remove, add = [], {}
    for back in g.node:
        if back.op_type != "Reshape":
            continue
        tr = prod.get(back.input[0])
        if tr is None or tr.op_type != "Transpose" or not _only_user(users, tr.output[0], back, outputs):
            continue
        perm = [list(helper.get_attribute_value(a)) for a in tr.attribute if a.name == "perm"]
        split = prod.get(tr.input[0])
        if perm != [[0, 2, 1, 3, 4]] or split is None or split.op_type != "Reshape" \
                or not _only_user(users, split.output[0], tr, outputs):
            continue
        s5, s4 = constant_value(g, split.input[1]), constant_value(g, back.input[1])
        if s5 is None or s4 is None or s5.shape != (5,) or s4.shape != (4,) or min(s5) < 1 \
                or s4[1] != s5[1] * s5[2] or list(s4[2:]) != list(s5[3:]):
            continue
        k, c = int(s5[1]), int(s5[2])
        order = np.arange(k * c).reshape(k, c).T.reshape(-1).astype(np.int64)
        index = f"{back.name or back.output[0]}/order"
        g.initializer.append(numpy_helper.from_array(order, index))
        add[id(back)] = helper.make_node("Gather", [split.input[0], index], [back.output[0]],
                                         name=back.name, axis=1)
        remove += [tr, split]
    _replace(g, remove, add)
    drop_unused_constants(g)
    return len(add)


def batch_free_reshapes(g: onnx.GraphProto) -> int:
    """Reshape shapes [1, C, -1] -> [0, C, -1] (the batch is copied)."""
    count, made = 0, set()
    for n in g.node:
        if n.op_type != "Reshape":
            continue
        shape = constant_value(g, n.input[1])
        if shape is None or shape.ndim != 1 or shape.size < 2 or shape[0] != 1 or -1 not in shape[1:]:
            continue
        new = f"{n.input[1]}/batch_free"
        if new not in made:
            made.add(new)
            g.initializer.append(numpy_helper.from_array(np.concatenate([[0], shape[1:]]).astype(np.int64), new))
        n.input[1] = new
        count += 1
    drop_unused_constants(g)
    return count


def upgrade_opset(g: onnx.GraphProto, old: int) -> None:
    """Rewrite the operators whose form changed between opset `old` (11 or
    later) and OPSET: Split's sizes become an input (opset 13)."""
    if old >= 13:
        return
    for n in g.node:
        if n.op_type != "Split":
            continue
        sizes = [helper.get_attribute_value(a) for a in n.attribute if a.name == "split"]
        if not sizes:
            continue
        kept = [a for a in n.attribute if a.name != "split"]
        name = f"{n.name or n.output[0]}/split"
        g.initializer.append(numpy_helper.from_array(np.array(sizes[0], np.int64), name))
        n.input.append(name)
        del n.attribute[:]
        n.attribute.extend(kept)


def _keep_only(field, keep: list, proto) -> None:
    """Shrink a repeated message field of a graph to ``keep`` (a subset, in order)."""
    if len(keep) == len(field):
        return
    copies = [proto() for _ in keep]
    for dst, src in zip(copies, keep):
        dst.CopyFrom(src)
    del field[:]
    field.extend(copies)


def drop_unused_constants(g: onnx.GraphProto) -> None:
    """Constant nodes and initializers that nothing reads any more."""
    used = {name for n in g.node for name in n.input} | {o.name for o in g.output}
    _keep_only(g.node, [n for n in g.node if n.op_type != "Constant" or n.output[0] in used], onnx.NodeProto)
    _keep_only(g.initializer, [t for t in g.initializer if t.name in used], onnx.TensorProto)


def prefix_names(g: onnx.GraphProto, prefix: str, keep: set[str] = frozenset()) -> None:
    """Every tensor and node name (but those in keep) under prefix."""
    def ren(name: str) -> str:
        return name if not name or name in keep else prefix + name

    for n in g.node:
        n.name = ren(n.name)
        for i, name in enumerate(n.input):
            n.input[i] = ren(name)
        for i, name in enumerate(n.output):
            n.output[i] = ren(name)
    for t in g.initializer:
        t.name = ren(t.name)
    for v in list(g.input) + list(g.output) + list(g.value_info):
        v.name = ren(v.name)


def share_initializers(g: onnx.GraphProto, known: dict[bytes, str]) -> int:
    """Initializers of g equal (type, shape and values) to one in known
    (content key -> name, from graphs built earlier) are read from that one
    and dropped from g; g's others join known. Returns how many were
    dropped."""
    def key(t: onnx.TensorProto) -> bytes:
        anon = onnx.TensorProto()
        anon.CopyFrom(t)
        anon.name = ""
        return anon.SerializeToString(deterministic=True)

    renamed, own = {}, {}
    for t in g.initializer:
        k = key(t)
        if k in known:
            renamed[t.name] = known[k]
        else:
            own.setdefault(k, t.name)
    for n in g.node:
        for i, name in enumerate(n.input):
            n.input[i] = renamed.get(name, name)
    _keep_only(g.initializer, [t for t in g.initializer if t.name not in renamed], onnx.TensorProto)
    for k, name in own.items():
        known.setdefault(k, name)
    return len(renamed)
