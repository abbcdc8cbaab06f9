"""Where a batch run's rows go: a Parquet dataset of part files, resumable.

An output name ending in ``.parquet`` is one file; any other name is a
folder holding a Parquet dataset (``part-<uuid>.parquet`` files, one table
for pyarrow, pandas, Spark and DuckDB). Either way the run writes its rows
as part files, each one whole:

- on a local file system a part is written under a hidden temporary name
  (``.part-<uuid>.parquet.tmp``, which dataset readers skip) and renamed
  into place, so a part either exists complete or not at all;
- on object storage (``s3://``, ``gs://``...; no renames there) the parts
  are written under their final names and a part counts only once
  ``_manifest.json``, rewritten after each part, names it; parts that it
  does not name (a run killed between the two writes) are deleted when the
  run is resumed.

A single-file output keeps its parts in ``NAME.parts/`` while the run goes
on and is assembled from them at the end (``NAME`` appears complete, then
the parts folder is removed).

Every part carries the run's settings (model, thresholds, classes) in its
Parquet metadata under ``zorvane_road_objects``; a resume with other
settings is refused. Resuming reads only the ``path`` and ``error``
columns of the parts already written: inputs with a row are skipped, error
rows included unless they are to be retried, in which case each part with
error rows is replaced by one without them (``part-<id>-ok.parquet``; an
original whose replacement exists is deleted, so a kill at any moment
leaves every input once).
"""

from __future__ import annotations

import json
import os
import posixpath
import time
import uuid

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.fs as pafs
import pyarrow.parquet as pq

from zorvane_road_objects.batch.inputs import is_uri

__all__ = ["DETECTION_TYPE", "METADATA_KEY", "SCHEMA", "BatchError", "OutputError", "PartBuffer", "PartStore",
           "open_store"]

DETECTION_TYPE = pa.struct([
    pa.field("class", pa.string(), nullable=False),
    pa.field("class_id", pa.int8(), nullable=False),
    pa.field("score", pa.int32(), nullable=False),
    pa.field("left", pa.float32(), nullable=False),
    pa.field("top", pa.float32(), nullable=False),
    pa.field("right", pa.float32(), nullable=False),
    pa.field("bottom", pa.float32(), nullable=False),
])
SCHEMA = pa.schema([
    pa.field("path", pa.string(), nullable=False),
    pa.field("width", pa.int32()),
    pa.field("height", pa.int32()),
    pa.field("detections", pa.list_(pa.field("item", DETECTION_TYPE, nullable=False))),
    pa.field("error", pa.string()),
])
METADATA_KEY = b"zorvane_road_objects"
# The settings a resumed run must share with the run it continues.
COMPARED = ("model", "conf", "iou", "classes")
MANIFEST = "_manifest.json"
PART_PREFIX = "part-"
TMP_PREFIX = ".part-"


class BatchError(RuntimeError):
    """The run as a whole could not be done (model, cluster or output trouble)."""


class OutputError(BatchError):
    """The output cannot be written as asked (exists, other settings, bad name)."""


def _join(root: str, name: str) -> str:
    return posixpath.join(root, name) if root else name


class PartStore:
    """The part files of one output, on a pyarrow file system.

    ``folder``: where the parts go; ``final``: the single file assembled at
    the end, or None for a dataset folder; ``manifest``: record parts in a
    manifest instead of renaming them (object storage).
    """

    def __init__(self, fs: pafs.FileSystem, folder: str, final: str | None, manifest: bool,
                 display: str, settings: dict):
        self.fs = fs
        self.folder = folder
        self.final = final
        self.manifest = manifest
        self.display = display
        self.settings = settings
        self._metadata = {METADATA_KEY: json.dumps(settings, sort_keys=True).encode()}
        self._schema = SCHEMA.with_metadata(self._metadata)
        self._listed: list[str] = []  # manifest mode: the parts that count
        self.rows = 0
        self.errors = 0

    # -- what is there --------------------------------------------------------

    def _names(self) -> list[str]:
        try:
            infos = self.fs.get_file_info(pafs.FileSelector(self.folder, allow_not_found=True))
        except (OSError, ValueError):
            return []
        return sorted(posixpath.basename(i.path) for i in infos if i.type == pafs.FileType.File)

    def _read_manifest(self) -> list[str]:
        try:
            with self.fs.open_input_stream(_join(self.folder, MANIFEST)) as fh:
                return list(json.loads(fh.read().decode())["parts"])
        except FileNotFoundError:
            return []
        except (OSError, ValueError, KeyError, TypeError) as exc:
            raise OutputError(f"{self.display}: cannot read {MANIFEST} ({exc}); "
                              "use --overwrite to start again") from None

    def parts(self) -> list[str]:
        """The complete parts, oldest name order (the manifest's order)."""
        if self.manifest:
            return list(self._listed)
        return [n for n in self._names() if n.startswith(PART_PREFIX) and n.endswith(".parquet")]

    def foreign(self) -> list[str]:
        """Files in the folder that no run of this kind wrote."""
        ours = (PART_PREFIX, TMP_PREFIX, MANIFEST)
        return [n for n in self._names() if not n.startswith(ours)]

    def exists(self) -> bool:
        if self.final is not None and self.fs.get_file_info(self.final).type == pafs.FileType.File:
            return True
        names = self._names()
        return bool(names) if self.final is None else any(n.startswith((PART_PREFIX, MANIFEST)) for n in names)

    # -- starting -------------------------------------------------------------

    def clear(self) -> None:
        """Remove what an earlier run wrote here (only its own files)."""
        for name in self._names():
            if name.startswith((PART_PREFIX, TMP_PREFIX, MANIFEST)):
                self.fs.delete_file(_join(self.folder, name))
        if self.final is not None and self.fs.get_file_info(self.final).type == pafs.FileType.File:
            self.fs.delete_file(self.final)
        self._listed = []

    def tidy(self) -> None:
        """Drop what a killed run left half done: temporary files, parts the
        manifest does not name, originals whose replacement exists."""
        names = self._names()
        if self.manifest:
            self._listed = self._read_manifest()
            keep = set(self._listed) | {MANIFEST}
            for name in names:
                if name.startswith((PART_PREFIX, TMP_PREFIX)) and name not in keep:
                    self.fs.delete_file(_join(self.folder, name))
            return
        present = set(names)
        for name in names:
            replaced = name.endswith(".parquet") and name[: -len(".parquet")] + "-ok.parquet" in present
            if name.startswith(TMP_PREFIX) or (name.startswith(PART_PREFIX) and replaced):
                self.fs.delete_file(_join(self.folder, name))

    def _sources(self) -> list[str]:
        """Every file that holds rows of this output: the parts, and for a
        resumed single file the file assembled before."""
        paths = [_join(self.folder, n) for n in self.parts()]
        if self.final is not None and self.fs.get_file_info(self.final).type == pafs.FileType.File:
            paths.insert(0, self.final)
        return paths

    def check_settings(self) -> None:
        """Refuse to add to rows that other settings produced."""
        for path in self._sources():
            try:
                meta = pq.read_schema(path, filesystem=self.fs).metadata or {}
            except (OSError, pa.ArrowInvalid) as exc:
                raise OutputError(f"{self.display}: cannot read {path} ({exc}); "
                                  "use --overwrite to start again") from None
            try:
                old = json.loads(meta[METADATA_KEY])
            except (KeyError, ValueError):
                raise OutputError(f"{self.display}: {path} was not written by a batch run; "
                                  "use --overwrite to start again") from None
            diff = [f"{k} {old.get(k)!r} (now {self.settings.get(k)!r})" for k in COMPARED
                    if old.get(k) != self.settings.get(k)]
            if diff:
                raise OutputError(f"{self.display} was written with other settings: {', '.join(diff)}; "
                                  "resume with the same settings, or use --overwrite")
            return  # every part of a run carries the same settings

    def done(self, retry_errors: bool) -> tuple[set[str], int, int]:
        """The inputs that already have their row, with the rows and error
        rows kept; with ``retry_errors`` the error rows are dropped first."""
        if retry_errors:
            self._drop_errors()
        done: set[str] = set()
        rows = errors = 0
        for path in self._sources():
            table = pq.read_table(path, columns=["path", "error"], filesystem=self.fs)
            done.update(table.column("path").to_pylist())
            rows += table.num_rows
            errors += table.num_rows - table.column("error").null_count
        self.rows, self.errors = rows, errors
        return done, rows, errors

    def _drop_errors(self) -> None:
        if self.final is not None and self.fs.get_file_info(self.final).type == pafs.FileType.File:
            # An assembled file becomes a part again, without its error rows.
            table = pq.read_table(self.final, filesystem=self.fs)
            self.write(table.filter(pc.is_null(table.column("error"))))
            self.fs.delete_file(self.final)
        for name in self.parts():
            path = _join(self.folder, name)
            errors = pq.read_table(path, columns=["error"], filesystem=self.fs).column("error")
            if errors.null_count == len(errors):
                continue
            table = pq.read_table(path, filesystem=self.fs)
            kept = table.filter(pc.is_null(table.column("error")))
            if kept.num_rows:
                self.write(kept, name[: -len(".parquet")] + "-ok.parquet", replaces=name)
            else:
                self._remove_part(name)

    # -- writing --------------------------------------------------------------

    def write(self, table: pa.Table, name: str | None = None, replaces: str | None = None) -> None:
        """Write one part with these rows (in SCHEMA's columns)."""
        if not table.num_rows:
            return
        table = table.select(SCHEMA.names).cast(SCHEMA).replace_schema_metadata(self._metadata)
        name = name or f"{PART_PREFIX}{uuid.uuid4().hex}.parquet"
        self.fs.create_dir(self.folder, recursive=True)
        if self.manifest:
            pq.write_table(table, _join(self.folder, name), filesystem=self.fs)
            self._listed = [n for n in self._listed if n != replaces] + [name]
            self._write_manifest()
            if replaces:
                self.fs.delete_file(_join(self.folder, replaces))
        else:
            tmp = _join(self.folder, f".{name}.tmp")
            pq.write_table(table, tmp, filesystem=self.fs)
            self.fs.move(tmp, _join(self.folder, name))
            if replaces:
                self.fs.delete_file(_join(self.folder, replaces))
        if replaces is None:
            self.rows += table.num_rows
            self.errors += table.num_rows - table.column("error").null_count

    def _remove_part(self, name: str) -> None:
        if self.manifest:
            self._listed = [n for n in self._listed if n != name]
            self._write_manifest()
        self.fs.delete_file(_join(self.folder, name))

    def _write_manifest(self) -> None:
        data = json.dumps({"parts": self._listed, "settings": self.settings}, indent=1).encode()
        with self.fs.open_output_stream(_join(self.folder, MANIFEST)) as fh:
            fh.write(data)

    def finish(self) -> None:
        """For a single-file output: assemble it from the parts, then remove them."""
        if self.final is None:
            return
        sources = self._sources()
        if sources == [self.final]:
            return
        tmp = self.final + ".partial" if not self.manifest else self.final
        with pq.ParquetWriter(tmp, self._schema, filesystem=self.fs) as writer:
            for path in sources:
                if path == tmp:
                    continue
                for batch in pq.ParquetFile(path, filesystem=self.fs).iter_batches():
                    writer.write_batch(batch.cast(SCHEMA))
        if tmp != self.final:
            self.fs.move(tmp, self.final)
        self.fs.delete_dir_contents(self.folder, missing_dir_ok=True)
        self.fs.delete_dir(self.folder)


class PartBuffer:
    """Collects rows and writes them as a part every ``part_rows`` rows or
    every ``max_age`` seconds, whichever comes first."""

    def __init__(self, store: PartStore, part_rows: int, max_age: float = 60.0):
        self.store = store
        self.part_rows = part_rows
        self.max_age = max_age
        self._rows: list[dict] = []
        self._tables: list[pa.Table] = []
        self._count = 0
        self._since = time.monotonic()

    def add_rows(self, rows: list[dict]) -> None:
        self._rows.extend(rows)
        self._count += len(rows)
        self._maybe_flush()

    def add_table(self, table: pa.Table) -> None:
        self._tables.append(table)
        self._count += table.num_rows
        self._maybe_flush()

    def _maybe_flush(self) -> None:
        if self._count >= self.part_rows or time.monotonic() - self._since >= self.max_age:
            self.flush()

    def flush(self) -> None:
        tables = [t.select(SCHEMA.names).cast(SCHEMA) for t in self._tables]
        if self._rows:
            tables.append(pa.Table.from_pylist(self._rows, schema=SCHEMA))
        if tables:
            self.store.write(pa.concat_tables(tables))
        self._rows, self._tables, self._count = [], [], 0
        self._since = time.monotonic()


def open_store(output: str, settings: dict) -> PartStore:
    """The part store for ``output`` (a local path or a URI); OutputError
    for a name that is not a Parquet output."""
    text = os.fspath(output)
    single = text.lower().endswith(".parquet")
    if not single and os.path.splitext(text.rstrip("/"))[1].lower() in (".csv", ".json", ".jsonl", ".txt",
                                                                        ".parq", ".pq", ".arrow"):
        raise OutputError(f"output {text!r}: name a Parquet file (NAME.parquet) or a folder for a "
                          "Parquet dataset (a name without extension)")
    if is_uri(text) and not text.startswith("file://"):
        try:
            fs, path = pafs.FileSystem.from_uri(text)
        except (OSError, ValueError) as exc:
            raise OutputError(f"output {text!r}: {exc}") from None
        manifest = True
    else:
        fs = pafs.LocalFileSystem()
        path = os.path.abspath(text[len("file://"):] if text.startswith("file://") else text)
        manifest = False
        if single and os.path.isdir(path):
            raise OutputError(f"output {text!r} is a folder; give a file name such as detections.parquet")
        if not single and os.path.isfile(path):
            raise OutputError(f"output {text!r} is a file; a name without .parquet is a dataset folder")
        text = path
    path = path.rstrip("/")
    if single:
        return PartStore(fs, path + ".parts", path, manifest, text, settings)
    return PartStore(fs, path, None, manifest, text, settings)
