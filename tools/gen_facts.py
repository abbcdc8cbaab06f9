#!/usr/bin/env python3
"""Write zv_facts.hpp, the native modules' copy of the shared facts.

    python tools/gen_facts.py src/zorvane_road_objects/facts.json OUT/zv_facts.hpp

The build runs this (standard library only) whenever facts.json or this
script changes; the header holds constexpr tables in the order of the data
file. The file is rewritten only when its text changes, so an unchanged
result rebuilds nothing. Facts the native code cannot take (a name that is
not plain ASCII, an unknown provider, a class id used twice...) stop the
build with a message that names them.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path


class FactsError(Exception):
    pass


def _text(value, what: str) -> str:
    if not isinstance(value, str) or not value:
        raise FactsError(f"{what} must be a non-empty string, got {value!r}")
    if not value.isascii() or not value.isprintable() or any(c in value for c in '"\\%'):
        raise FactsError(f"{what} must be printable ASCII without quotes, backslashes or '%': {value!r}")
    return value


def _c(value: str) -> str:
    return f'"{value}"'


def _unique(names: list[str], what: str) -> None:
    seen = {n for n in names if names.count(n) > 1}
    if seen:
        raise FactsError(f"{what} used more than once: {', '.join(sorted(seen))}")


def _catalogue(cat: dict) -> list[str]:
    models = [_text(m, "a catalogue model name") for m in cat["models"]]
    if not models:
        raise FactsError("the catalogue names no model")
    _unique(models, "catalogue model name")
    if cat["default_model"] not in models:
        raise FactsError(f"the default model {cat['default_model']!r} is not in the catalogue")
    port = cat["server_port"]
    if not isinstance(port, int) or not 0 < port < 65536:
        raise FactsError(f"server_port must be a port number, got {port!r}")
    parts = [_text(p, "a data directory part") for p in cat["data_dir"]]
    if len(parts) != 2:
        raise FactsError("data_dir must have two parts (a folder in the home folder and one in it)")
    server = f"http://{_text(cat['server_host'], 'server_host')}:{port}/"
    fmt = _text(cat["file_prefix"], "file_prefix") + "%s" + _text(cat["file_suffix"], "file_suffix")
    return [
        "// The model catalogue: accepted model names, each its own key.",
        f"inline constexpr const char *catalogue[] = {{{', '.join(map(_c, models))}}};",
        f"inline constexpr std::size_t catalogue_size = {len(models)};",
        f"inline constexpr char default_model[] = {_c(cat['default_model'])};",
        "// PyUnicode_FromFormat pattern of a model's file name (%s: the model name).",
        f"inline constexpr char model_file_format[] = {_c(fmt)};",
        "// Where model files come from unless ZORVANE_ROBJ_MODEL_SERVER names another server.",
        f"inline constexpr char default_server[] = {_c(server)};",
        "// The data directory: these folders below the home folder.",
        f"inline constexpr char data_dir_parent[] = {_c(parts[0])};",
        f"inline constexpr char data_dir_name[] = {_c(parts[1])};",
        "// PyUnicode_FromFormat pattern of a model file's stamp file (%U: the file name).",
        f"inline constexpr char stamp_format[] = {_c('%U' + _text(cat['stamp_suffix'], 'stamp_suffix'))};",
    ]


def _classes(classes: list) -> list[str]:
    names = [_text(c["name"], "a class name") for c in classes]
    ids = [c["model_id"] for c in classes]
    _unique(names, "class name")
    _unique([str(i) for i in ids], "model class id")
    if not names or any(not isinstance(i, int) or not 0 <= i < 2**31 for i in ids):
        raise FactsError(f"model class ids must be non-negative 32-bit integers, got {ids!r}")
    return [
        "// The detection classes by class id, and the model output's class id of each.",
        f"inline constexpr std::size_t class_count = {len(names)};",
        f"inline constexpr const char *class_names[class_count] = {{{', '.join(map(_c, names))}}};",
        f"inline constexpr int model_class_ids[class_count] = {{{', '.join(map(str, ids))}}};",
    ]


def _backends(facts: dict) -> list[str]:
    keys = list(facts["providers"])
    names = [_text(facts["providers"][k], f"provider {k!r}") for k in keys]
    rows = []
    for b in facts["backends"]:
        unknown = [p for p in b["providers"] if p not in keys]
        if unknown or not b["providers"]:
            raise FactsError(f"back end {b['name']!r} names unknown providers {unknown!r}")
        index = ", ".join(str(keys.index(p)) for p in b["providers"])
        rows.append(f"    {{{_c(_text(b['name'], 'a back-end name'))}, {{{index}}}, {len(b['providers'])}}},")
    backends = [b["name"] for b in facts["backends"]]
    _unique(backends, "back-end name")
    for key in ("default_backend", "unknown_backend"):
        if facts[key] not in backends:
            raise FactsError(f"{key} {facts[key]!r} is not a back end")
    return [
        "// ONNX Runtime's execution providers.",
        f"inline constexpr std::size_t provider_count = {len(names)};",
        f"inline constexpr const char *provider_names[provider_count] = {{{', '.join(map(_c, names))}}};",
        "// Each back end and the providers it asks for (indices of provider_names),",
        "// in order of preference; names matched after lower-casing.",
        "struct Backend {",
        "    const char *name;",
        "    int providers[provider_count];",
        "    std::size_t count;",
        "};",
        f"inline constexpr std::size_t backend_count = {len(backends)};",
        "inline constexpr Backend backends[backend_count] = {",
        *rows,
        "};",
        "// The back end of a detector made without one.",
        f"inline constexpr char default_backend[] = {_c(facts['default_backend'])};",
        "// The back end (index of backends) that any other name gets.",
        f"inline constexpr std::size_t unknown_backend = {backends.index(facts['unknown_backend'])};",
    ]


def _environment(env: dict) -> list[str]:
    rows = []
    for key, name in env.items():
        text = _text(name, f"environment variable {key!r}")
        rows.append(f"inline constexpr char env_{key}[] = {_c(text)};")
    _unique(list(env.values()), "environment variable")
    return ["// The environment variables the package reads.", *rows]


def header(facts: dict, source: str) -> str:
    lines = [
        f"// Generated by tools/gen_facts.py from {source}: edit that file, not this one.",
        "#pragma once",
        "",
        "#include <cstddef>",
        "",
        "namespace zv_facts {",
        "",
        *_catalogue(facts["catalogue"]),
        "",
        *_classes(facts["classes"]),
        "",
        *_backends(facts),
        "",
        *_environment(facts["environment"]),
        "",
        "}  // namespace zv_facts",
    ]
    return "\n".join(lines) + "\n"


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print("usage: gen_facts.py FACTS_JSON OUT_HPP", file=sys.stderr)
        return 2
    src, out = Path(argv[1]), Path(argv[2])
    try:
        text = header(json.loads(src.read_text(encoding="utf-8")), src.name)
    except (FactsError, KeyError, TypeError, ValueError) as exc:
        what = f"missing entry {exc}" if isinstance(exc, KeyError) else str(exc)
        print(f"gen_facts: {src}: {what}", file=sys.stderr)
        return 1
    if not out.is_file() or out.read_text(encoding="utf-8") != text:
        out.parent.mkdir(parents=True, exist_ok=True)
        out.write_text(text, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
