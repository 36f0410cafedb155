"""The ``rux`` command: look inside, check, upgrade, recover and convert rux files.

Every subcommand is a function ``cmd_<name>(args) -> int``. ``main`` turns the
errors a user can cause (a missing file, a file that is not a rux file, an
unknown chunk, a missing optional dependency) into one line on stderr and exit
status 1; argparse exits with 2 for a wrong command line. The line names the
path the user gave, never a temporary file of ours.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
import warnings
from typing import Optional, Sequence

import numpy as np

from . import _format as fmt
from . import _raw as raw
from .check import check as check_file
from .summary import summarize

EXIT_OK = 0
EXIT_ERROR = 1


class UserError(Exception):
    """A mistake in what the user asked for; main prints it as one line."""


def _fl():
    from . import fl

    return fl


def _open_read(path: str):
    return _fl().open(path, "r")


def _print_json(value: dict) -> None:
    """Prints an object with one key per line and one list item per line.

    Items are encoded one by one by the json module's C encoder (an indented
    dump runs in pure Python), so a check listing a million problems stays fast.
    """
    lines = []
    for key, item in value.items():
        if isinstance(item, list) and item:
            inner = ",\n    ".join(json.dumps(element) for element in item)
            lines.append(f"  {json.dumps(key)}: [\n    {inner}\n  ]")
        else:
            lines.append(f"  {json.dumps(key)}: {json.dumps(item)}")
    sys.stdout.write("{\n" + ",\n".join(lines) + "\n}\n")


# -- progress ------------------------------------------------------------------


class ProgressBar:
    """A one-line bar on stderr, drawn only when stderr is a terminal."""

    WIDTH = 30

    def __init__(self, label: str, stream=None, min_interval: float = 0.1):
        self.label = label
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = _isatty(self.stream)
        self.min_interval = min_interval
        self._last_draw = 0.0
        self._drawn = False

    def update(self, done: int, total: Optional[int]) -> None:
        """Redraws the bar; a total of None (not known in advance) shows a count only."""
        if not self.enabled:
            return
        now = time.monotonic()
        finished = total is not None and done >= total
        if not finished and now - self._last_draw < self.min_interval:
            return
        self._last_draw = now
        if total is None:
            self.stream.write(f"\r{self.label}: {done}")
        else:
            fraction = done / total if total else 1.0
            filled = int(fraction * self.WIDTH)
            bar = "#" * filled + "-" * (self.WIDTH - filled)
            self.stream.write(f"\r{self.label} [{bar}] {fraction:4.0%} ({done}/{total})")
        self.stream.flush()
        self._drawn = True

    def finish(self) -> None:
        if self._drawn:
            self.stream.write("\r\033[K")
            self.stream.flush()


def _isatty(stream) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


# -- subcommands ---------------------------------------------------------------

_INFO_LABELS = (
    ("application", "application"),
    ("schema", "schema"),
    ("schema_version", "schema version"),
    ("rux_version", "layout version"),
    ("frames", "frames"),
    ("names", "names"),
    ("index", "index entries"),
    ("namelist", "namelist"),
    ("chunk_bytes", "chunk data"),
    ("file_size", "file size"),
    ("unreferenced_bytes", "unreferenced"),
)


def cmd_info(args) -> int:
    with raw.RuxFileView(args.file) as view:
        summary = summarize(view)
    if args.json:
        _print_json(summary.as_dict())
        return _report_refusal(args.file)
    values = summary.as_dict()
    values["rux_version"] = f"{summary.rux_version} (version {summary.layout} layout)"
    values["index"] = (
        f"{summary.index_entries_used} used / {summary.index_entries_capacity} capacity"
    )
    values["namelist"] = f"{summary.namelist_bytes_used} of {summary.namelist_bytes} bytes used"
    values["chunk_bytes"] = f"{summary.chunk_bytes} bytes"
    values["file_size"] = f"{summary.file_size} bytes"
    values["unreferenced_bytes"] = f"{summary.unreferenced_bytes} bytes"
    labels = list(_INFO_LABELS)
    if summary.uncommitted_entries or summary.uncommitted_names:
        values["uncommitted"] = (
            f"{summary.uncommitted_entries} entries, {summary.uncommitted_names} names "
            "(readers ignore them)"
        )
        labels.append(("uncommitted", "uncommitted"))
    width = max(len(label) for _, label in labels)
    print(f"{'file':<{width}}  {summary.file}")
    for key, label in labels:
        print(f"{label:<{width}}  {values[key]}")
    return _report_refusal(args.file)


def _report_refusal(path: str) -> int:
    """After describing a file: says so, and fails, when the library refuses to open it."""
    try:
        _open_read(path).close()
    except (OSError, RuntimeError, MemoryError, ValueError) as error:
        message = " ".join(_error_line(error).split("\n"))
        print(f"rux: {path}: the library refuses to open it: {message}", file=sys.stderr)
        return EXIT_ERROR
    return EXIT_OK


def _read_shape(type_code: int, rows: int, columns: int):
    """The shape of what read_chunk returns for such a chunk (None for text)."""
    if columns == 1:
        return None if type_code == fmt.CHARACTER else (rows,)
    return (columns, rows) if type_code == fmt.CHARACTER else (rows, columns)


def cmd_ls(args) -> int:
    with _open_read(args.file) as handle:
        names = handle.find_matching_chunk_names(args.prefix)
        if args.frame is None:
            if args.json:
                _print_json({"file": args.file, "names": names})
            else:
                for name in names:
                    print(name)
            return EXIT_OK
        frames = handle.nframes
    if not 0 <= args.frame < frames:
        raise UserError(f"frame {args.frame} out of range: {args.file} has {frames} frames")
    chunks = []
    with raw.RuxFileView(args.file) as view:
        for name, type_code, rows, columns, nbytes in raw.iter_frame_chunks(view, args.frame):
            if not name.startswith(args.prefix):
                continue
            shape = _read_shape(type_code, rows, columns)
            chunks.append(
                {
                    "name": name,
                    "type": fmt.TYPE_NAMES.get(type_code, f"code {type_code}"),
                    "shape": list(shape) if shape is not None else None,
                    "rows": rows,
                    "columns": columns,
                    "bytes": nbytes,
                }
            )
    if args.json:
        _print_json({"file": args.file, "frame": args.frame, "chunks": chunks})
        return EXIT_OK
    _print_table(chunks)
    return EXIT_OK


def _print_table(chunks) -> None:
    rows = [("name", "type", "shape", "bytes")]
    for chunk in chunks:
        shape = chunk["shape"]
        shape_text = "text" if shape is None else str(tuple(shape))
        rows.append((chunk["name"], chunk["type"], shape_text, str(chunk["bytes"])))
    widths = [max(len(row[column]) for row in rows) for column in range(4)]
    for row in rows:
        print(
            f"{row[0]:<{widths[0]}}  {row[1]:<{widths[1]}}  {row[2]:<{widths[2]}}  "
            f"{row[3]:>{widths[3]}}"
        )


def cmd_dump(args) -> int:
    with _open_read(args.file) as handle:
        if not 0 <= args.frame < handle.nframes:
            # Frame numbers past 64 bits are no frame either, not an OverflowError.
            raise KeyError(f"frame {args.frame} / chunk {args.name} not found in: {args.file}")
        value = handle.read_chunk(args.frame, args.name)
    if isinstance(value, str):
        sys.stdout.write(value if value.endswith("\n") or not value else value + "\n")
        return EXIT_OK
    options = {"threshold": sys.maxsize} if args.full else {}
    with np.printoptions(**options):
        print(value)
    return EXIT_OK


def cmd_check(args) -> int:
    progress = ProgressBar("checking index entries")
    try:
        report = check_file(args.file, limit=args.limit, progress=progress.update)
    finally:
        progress.finish()
    if args.schema:
        return _check_schema(args, report)
    if args.json:
        _print_json(report.as_dict())
    elif report.clean:
        print(
            f"{args.file}: ok ({report.entries_checked} index entries, "
            f"{report.names_checked} names checked)"
        )
    else:
        for problem in report.problems:
            print(problem.message)
        count = len(report.problems) - len(report.omitted) + sum(report.omitted.values())
        noun = "problem" if count == 1 else "problems"
        print(f"rux: {args.file}: {count} {noun} found", file=sys.stderr)
    return EXIT_OK if report.clean else EXIT_ERROR


def _check_schema(args, report) -> int:
    """``check --schema``: the file's structure first, then the MD schema."""
    from .md.check import check_schema

    result = check_schema(args.file) if report.clean else None
    if args.json:
        _print_json(dict(report.as_dict(), schema=result.as_dict() if result else None))
    else:
        for problem in report.problems:
            print(problem.message)
        if result is None:
            print(f"rux: {args.file}: damaged, so the schema was not checked", file=sys.stderr)
        elif not result.applies:
            print(
                f"{args.file}: ok; its schema is {result.schema!r} {result.version[0]}."
                f"{result.version[1]}, not the MD schema, so nothing was checked against it"
            )
        elif result.clean:
            print(f"{args.file}: ok, and follows the MD schema {result.version[0]}.{result.version[1]}")
        else:
            for deviation in result.deviations:
                print(f"{args.file}: {deviation}")
            count = len(result.deviations)
            noun = "deviation" if count == 1 else "deviations"
            print(f"rux: {args.file}: {count} {noun} from the MD schema", file=sys.stderr)
    return EXIT_OK if report.clean and (result is None or result.clean) else EXIT_ERROR


def cmd_upgrade(args) -> int:
    with raw.RuxFileView(args.file) as view:
        version = view.header.rux_version
    if fmt.layout_of(version) == 2:
        print(
            f"{args.file}: already in the version 2 layout (version {fmt.version_text(version)})"
        )
        return EXIT_OK
    with _fl().open(args.file, "r+") as handle:
        handle.upgrade()
        new_version = "{}.{}".format(*handle.rux_version)
    print(f"{args.file}: upgraded from version {fmt.version_text(version)} to {new_version}")
    return EXIT_OK


def cmd_convert(args) -> int:
    paths = args.paths
    if len(paths) not in (2, 3):
        raise UserError("convert takes [TOPOLOGY] INPUT OUTPUT: two or three files")
    *inputs, output = paths
    names = _name_mapping(args.names)
    for path in inputs:
        if not os.path.exists(path):
            raise FileNotFoundError(2, "No such file or directory", path)
    source_kind = _file_kind(inputs[-1], args.input_format)
    target_kind = _file_kind(output, args.output_format)
    if len(inputs) == 1 and {source_kind, target_kind} == {"rux", "xyz"}:
        return _convert_xyz(names, inputs[0], output, source_kind)
    if "xyz" in (source_kind, target_kind):
        raise UserError("extended XYZ converts to and from one rux file: rux convert IN.xyz OUT.rux")
    if names:
        raise UserError("--names applies to extended XYZ conversions only")
    if "rux" not in (source_kind, target_kind):
        raise UserError("convert needs a rux file (.rux) as its input or its output")
    if source_kind == target_kind:
        raise UserError("convert goes from another format into rux or out of rux, not rux to rux")
    from .md.convert import convert

    progress = ProgressBar("converting frames")
    try:
        frames = convert(
            inputs,
            output,
            progress.update,
            _md_format(args.input_format),
            _md_format(args.output_format),
        )
    finally:
        progress.finish()
    print(f"{output}: {frames} frames written", file=sys.stderr)
    return EXIT_OK


def _md_format(given: Optional[str]) -> Optional[str]:
    """A --from / --to format for MDAnalysis: its own format names, and RUX."""
    return None if given is None else given.upper()


def _convert_xyz(names: dict, source: str, output: str, source_kind: str) -> int:
    from . import xyz

    progress = ProgressBar("converting frames")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("default")
        try:
            if source_kind == "xyz":
                frames = xyz.xyz_to_rux(source, output, progress.update, names)
            else:
                frames = xyz.rux_to_xyz(source, output, progress.update, names)
        finally:
            progress.finish()
            for message in dict.fromkeys(str(warning.message) for warning in caught):
                print(f"rux: warning: {message}", file=sys.stderr)
    print(f"{output}: {frames} frames written", file=sys.stderr)
    return EXIT_OK


def cmd_recover(args) -> int:
    from . import recover

    progress = ProgressBar("writing frames")
    try:
        report = recover.recover(args.input, args.output, force=args.force, progress=progress.update)
    finally:
        progress.finish()
    if args.json:
        _print_json(report.as_dict())
        return EXIT_OK
    where = "current" if report.index_is_current else "copy found by searching"
    lost = sum(last - first + 1 for first, last in report.frames_lost)
    print(f"{report.output}: {report.frames_kept} frames kept, {lost} lost; "
          f"{report.chunks_kept} chunks kept, {report.chunks_lost} lost")
    print(f"index block: {where} at offset {report.index_location}; "
          f"namelist: {'current' if report.namelist_is_current else 'copy found by searching'} "
          f"at offset {report.namelist_location}")
    if report.frames_lost:
        ranges = ", ".join(
            str(first) if first == last else f"{first}-{last}" for first, last in report.frames_lost
        )
        print(f"frames lost: {ranges}")
    for note in report.notes:
        print(f"note: {note}")
    return EXIT_OK


def _name_mapping(text: Optional[str]) -> dict:
    """``positions=particles/position,numbers=particles/typeid`` as a dict."""
    names: dict = {}
    for item in (text or "").split(","):
        if not item.strip():
            continue
        key, sep, value = item.partition("=")
        if not sep or not key.strip() or not value.strip():
            raise UserError(f"--names takes NAME=CHUNK pairs separated by commas, not {item!r}")
        names[key.strip()] = value.strip()
    return names


_KINDS = {".rux": "rux", ".xyz": "xyz", ".extxyz": "xyz"}


def _file_kind(path: str, given: Optional[str]) -> Optional[str]:
    """rux, xyz, or None for a format that MDAnalysis reads or writes."""
    if given:
        return _KINDS.get("." + given.lower())
    return _KINDS.get(os.path.splitext(path)[1].lower())


# -- argument parsing ----------------------------------------------------------


def _frame(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a frame number: {text!r}") from None


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="rux", description="Look inside, check, upgrade and convert rux trajectory files."
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    info = commands.add_parser("info", help="header, sizes and counts of a file")
    info.add_argument("file", metavar="FILE")
    info.add_argument("--json", action="store_true", help="print a JSON object")
    info.set_defaults(run=cmd_info)

    ls = commands.add_parser("ls", help="chunk names, or the chunks of one frame")
    ls.add_argument("file", metavar="FILE")
    ls.add_argument(
        "prefix", metavar="PREFIX", nargs="?", default="", help="list only names that start with it"
    )
    ls.add_argument(
        "--frame", type=_frame, metavar="N", help="list the chunks of frame N: type, shape, size"
    )
    ls.add_argument("--json", action="store_true", help="print a JSON object")
    ls.set_defaults(run=cmd_ls)

    dump = commands.add_parser("dump", help="print the values of one chunk")
    dump.add_argument("file", metavar="FILE")
    dump.add_argument("frame", metavar="FRAME", type=_frame)
    dump.add_argument("name", metavar="NAME")
    dump.add_argument(
        "--full", action="store_true", help="print every value, without numpy's summary"
    )
    dump.set_defaults(run=cmd_dump)

    check = commands.add_parser(
        "check", help="check every index entry, both blocks and the namelist"
    )
    check.add_argument("file", metavar="FILE")
    check.add_argument("--json", action="store_true", help="print a JSON object")
    check.add_argument(
        "--limit",
        type=int,
        default=20,
        metavar="N",
        help="list at most N entries per kind of problem, then a count (0: list all; default 20)",
    )
    check.add_argument(
        "--schema",
        action="store_true",
        help="also check the file against the MD schema (docs/md_schema.md)",
    )
    check.set_defaults(run=cmd_check)

    upgrade = commands.add_parser("upgrade", help="upgrade a version 1 layout file in place")
    upgrade.add_argument("file", metavar="FILE")
    upgrade.set_defaults(run=cmd_upgrade)

    recover = commands.add_parser(
        "recover",
        help="write the whole frames of a damaged file to a new file",
        description="Write every frame of INPUT that can be proven whole to the new file "
        "OUTPUT, and report what was kept and lost. INPUT is only read.",
    )
    recover.add_argument("input", metavar="INPUT")
    recover.add_argument("output", metavar="OUTPUT")
    recover.add_argument("--force", action="store_true", help="replace OUTPUT if it exists")
    recover.add_argument("--json", action="store_true", help="print a JSON object")
    recover.set_defaults(run=cmd_recover)

    convert = commands.add_parser(
        "convert",
        help="convert between rux and MD formats or extended XYZ",
        usage="rux convert [-h] [--from FORMAT] [--to FORMAT] [--names MAP] [TOPOLOGY] INPUT OUTPUT",
        description="Convert a trajectory to or from rux. Extended XYZ (.xyz, .extxyz) goes "
        "through ASE (pip install rux[xyz]); every other format through MDAnalysis (pip install "
        "rux[mdanalysis]): a TOPOLOGY and an INPUT trajectory (or one file holding both) into "
        "OUTPUT.rux in the MD schema, or INPUT.rux into any format MDAnalysis writes (.xtc, .trr, "
        ".dcd, .pdb, ...). Formats follow the file extensions; .rux is a rux file.",
    )
    convert.add_argument("paths", metavar="FILE", nargs="+", help=argparse.SUPPRESS)
    convert.add_argument(
        "--from", dest="input_format", metavar="FORMAT",
        help="format of INPUT: rux, xyz, or an MDAnalysis format name (XTC, DCD, ...)",
    )
    convert.add_argument(
        "--to", dest="output_format", metavar="FORMAT",
        help="format of OUTPUT: rux, xyz, or an MDAnalysis format name",
    )
    convert.add_argument(
        "--names",
        metavar="MAP",
        help="extended XYZ only: chunk names of the rux file for the names ASE uses, e.g. "
        "positions=particles/position,numbers=particles/typeid",
    )
    convert.set_defaults(run=cmd_convert)
    return parser


def _error_line(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        if error.filename is not None:
            return f"{error.filename}: {error.strerror}"
        return error.strerror
    if isinstance(error, KeyError) and error.args:
        return str(error.args[0])
    return str(error)


def _user_errors():
    from .recover import RecoveryError
    from .md.convert import MissingMDAnalysis
    from .xyz import ConversionError, MissingDependency

    return (
        OSError,
        OverflowError,
        RecoveryError,
        RuntimeError,
        KeyError,
        ValueError,
        MemoryError,
        UnicodeDecodeError,
        raw.NotARuxFile,
        UserError,
        ConversionError,
        MissingDependency,
        MissingMDAnalysis,
    )


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except BrokenPipeError:
        # The reader of our output went away (rux ls big.rux | head): not an error.
        _silence_stdout()
        return EXIT_OK
    except KeyboardInterrupt:
        print("rux: interrupted", file=sys.stderr)
        return 130
    except _user_errors() as error:
        message = " ".join(_error_line(_naming_the_file(error, args)).split("\n"))
        print(f"rux: {message}", file=sys.stderr)
        return EXIT_ERROR


def _naming_the_file(error: BaseException, args) -> BaseException:
    """An OSError that names no file, named for the one file the command reads.

    Commands of several paths (recover, convert) name the path themselves.
    """
    path = getattr(args, "file", None)
    if isinstance(error, OSError) and error.strerror and error.filename is None and path:
        return OSError(error.errno, error.strerror, path)
    return error


def _silence_stdout() -> None:
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass


if __name__ == "__main__":
    sys.exit(main())
