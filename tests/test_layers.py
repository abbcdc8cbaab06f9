"""The package's layering, read from every module's imports (function-level
imports included): imports only go down (cli -> batch -> detection -> media,
serving -> the base modules), no circles, no private names across modules,
Ray and pyarrow only under batch/, and importing the package loads no native
module, OpenCV, Ray or pyarrow."""

from __future__ import annotations

import ast
import subprocess
import sys
from pathlib import Path

import pytest

import zorvane_road_objects

PKG = Path(zorvane_road_objects.__file__).resolve().parent
NAME = "zorvane_road_objects"
# Rank of each sub-package; the modules directly in the package are the base.
RANKS = {"media": 1, "serving": 1, "detection": 2, "batch": 3, "cli": 4}
CLUSTER_ONLY = ("ray", "pyarrow")


def module_name(path: Path) -> str:
    parts = path.relative_to(PKG).with_suffix("").parts
    if parts[-1] == "__init__":
        parts = parts[:-1]
    return ".".join((NAME, *parts))


MODULES = {module_name(p): p for p in sorted(PKG.rglob("*.py"))}


def group(module: str) -> str:
    """The sub-package a module belongs to, or "" for the base modules."""
    parts = module.split(".")
    if parts[1:] == ["__main__"]:  # python -m zorvane_road_objects: the command line's launcher
        return "cli"
    return parts[1] if len(parts) > 1 and parts[1] in RANKS else ""


def imports(module: str) -> list[tuple[str, list[str], int]]:
    """(imported module, names taken from it, line) for every import."""
    tree = ast.parse(MODULES[module].read_text(encoding="utf-8"))
    package = module if MODULES[module].name == "__init__.py" else module.rpartition(".")[0]
    found = []
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            found += [(a.name, [], node.lineno) for a in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.split(".")[: len(package.split(".")) - node.level + 1]
                base = ".".join([*anchor, base] if base else anchor)
            names = [a.name for a in node.names]
            # "from pkg import sub" imports the module pkg.sub
            subs = [n for n in names if f"{base}.{n}" in MODULES]
            found += [(f"{base}.{n}", [], node.lineno) for n in subs]
            rest = [n for n in names if n not in subs]
            if rest:
                found.append((base, rest, node.lineno))
    return found


def internal_edges():
    for module in MODULES:
        for target, names, line in imports(module):
            if target.startswith(NAME) and target in MODULES:
                yield module, target, names, line


def test_the_package_has_its_layers():
    assert set(RANKS) <= {group(m) for m in MODULES}


def test_imports_only_go_down():
    wrong = []
    for module, target, _, line in internal_edges():
        src, dst = group(module), group(target)
        if src == dst or dst == "" or target == NAME:
            continue
        if src == "" or RANKS[dst] >= RANKS[src]:
            wrong.append(f"{module}:{line} imports {target}")
    assert wrong == []


def test_no_import_circles():
    graph: dict[str, set[str]] = {m: set() for m in MODULES}
    for module, target, _, _ in internal_edges():
        if target != module and target != NAME:
            graph[module].add(target)
    state: dict[str, int] = {}
    cycles = []

    def visit(node, path):
        state[node] = 1
        for nxt in sorted(graph[node]):
            if state.get(nxt) == 1:
                cycles.append(" -> ".join(path[path.index(nxt):] + [nxt]))
            elif nxt not in state:
                visit(nxt, path + [nxt])
        state[node] = 2

    for m in sorted(graph):
        if m not in state:
            visit(m, [m])
    assert cycles == []


def test_no_private_name_is_imported_across_modules():
    wrong = [f"{m}:{line} takes {n} from {t}" for m, t, names, line in internal_edges()
             for n in names if n.startswith("_") and n != "__version__"]
    assert wrong == []


def test_ray_and_pyarrow_only_under_batch():
    wrong = [f"{m}:{line} imports {t}" for m in MODULES for t, _, line in imports(m)
             if t.split(".")[0] in CLUSTER_ONLY and group(m) != "batch"]
    assert wrong == []


@pytest.mark.parametrize("name", ["", "Detection", "open_source"])
def test_importing_the_package_stays_light(name):
    code = (f"import sys, {NAME} as z\n"
            f"{'z.' + name if name else ''}\n"
            f"heavy = [m for m in ('cv2', 'ray', 'pyarrow', 'onnxruntime', '{NAME}.zorvane_robj_d', "
            f"'{NAME}.zorvane_robj_p', '{NAME}.secret') if m in sys.modules]\n"
            "print(heavy)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


def test_public_api_resolves():
    import zorvane_road_objects.suppression
    import zorvane_road_objects.utils

    for name in zorvane_road_objects.__all__:
        assert getattr(zorvane_road_objects, name) is not None
    assert zorvane_road_objects.utils.nms is zorvane_road_objects.suppression.nms
    with pytest.raises(AttributeError):
        zorvane_road_objects.no_such_name  # noqa: B018
