"""The corvane-parse command line, made from one table of its options.

OPTIONS lists every option and every key of a run configuration file once:
its spellings, how it takes values, its help, and the request key it sets.
From it come the argparse parser (ReportAssembler.parse_args, the help), the
plain fast path, the check of a run configuration file (keys, kinds of
values, "did you mean") and the request from_cli builds. Adding an option is
a row here plus its use.

Kept out of the hot path of a plain run: argparse and logging are imported
only when a command line needs them (--help, an error, an abbreviation), so
a plain `corvane-parse --input-dir ...` costs a dictionary walk here.
"""

from __future__ import annotations

import os
import sys
from contextvars import ContextVar

from CorvaneFileParser import ProgramLog
from CorvaneFileParser.CorvaneConstants import CorvaneConstants as _Keys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import Any, Callable

PROGRAM = "corvane-parse"

# How an option takes its values on the command line.
VALUE = "value"    # one value
FILES = "files"    # one or more values, at once
FLAG = "flag"      # none; true when given
PAIRS = "pairs"    # two values (KIND PATH), repeatable, gathered
VALUES = "values"  # one value, repeatable, gathered
VERSION = "version"

# What a run configuration file may hold under a key, and how a message
# names it.
EXPECTED = {
    "text": "a string",
    "text list": "a list of strings",
    "object": "an object",
    "text map": "an object of strings",
    "boolean": "true or false",
    "count": "a whole number of at least 1",
}


class Option:
    """One row of the table. `flags` empty: a run configuration file key only.
    `request_key`: the request key the option or file key sets. `file_kind`:
    the kind of value a run configuration file holds under the request key
    (None: not a file key); `file_rank` its place in the listing of known
    keys. `convert`: turns the command-line value into the request's (the
    value is then set when given at all, else when not empty)."""

    __slots__ = ("flags", "dest", "takes", "help", "metavar", "request_key", "file_kind",
                 "file_rank", "convert")

    def __init__(self, flags: tuple[str, ...], dest: str = "", takes: str = "", *,
                 help: str | None = None, metavar: object = None, request_key: str = "",
                 file_kind: str = "", file_rank: int = 0,
                 convert: Callable[[Any], Any] | None = None) -> None:
        self.flags, self.dest, self.takes, self.help, self.metavar = flags, dest, takes, help, metavar
        self.request_key, self.file_kind, self.file_rank = request_key, file_kind, file_rank
        self.convert = convert


def _jobs(value: object) -> int:
    from CorvaneFileParser.SheetRun import jobs_option

    return jobs_option(value)


# In the order of the help; file_rank gives the order of the known keys of a
# run configuration file in messages.
OPTIONS = (
    Option(("-c", "--config"), "config", VALUE, metavar="FILE",
           help="Path to config JSON file: a JSON object with any of the keys input_dir, output_dir, "
                "output_json, input_files, map_files, strict, sample, sample_aliases, input_kinds, "
                "durable; an option given here replaces its value (default: none)"),
    Option(("--input-dir",), "input_dir", VALUE, metavar="DIR", request_key=_Keys.INPUT_DIR,
           file_kind="text", file_rank=0,
           help="Input directory: listed when no input files are given, and searched for listed names "
                "not found as given (default: .)"),
    Option(("--output-dir",), "output_dir", VALUE, metavar="DIR", request_key=_Keys.OUTPUT_DIR,
           file_kind="text", file_rank=1,
           help="Output directory: must exist; receives the output, its manifest and the log "
                "(default: .)"),
    Option(("--input-files",), "input_files", FILES, metavar="F", request_key="input_files",
           file_kind="text list", file_rank=3,
           help="Input file(s), read in this order; a later file's section replaces an earlier one "
                "of the same name (default: every .json and .tsv file of the input directory)"),
    Option(("--input",), "input", PAIRS, metavar=("KIND", "PATH"), request_key=_Keys.INPUT_KINDS,
           file_kind="text map", file_rank=8,
           help="an input file of the given kind (panel, smn, gba, targeted, paraphase), read as "
                "that kind whatever its name; repeatable, read after the --input-files in the order "
                "given"),
    Option(("--output-json",), "output_json", VALUE, metavar="NAME", request_key=_Keys.OUTPUT_JSON,
           file_kind="text", file_rank=2,
           help="Output JSON filename (default: corvane_output.json)"),
    Option(("--strict",), "strict", FLAG, request_key=_Keys.STRICT, file_kind="boolean", file_rank=5,
           help="fail, writing nothing, when a listed file is missing, a section is replaced by a "
                "later file or a file names another sample than --sample (default: warn and go on)"),
    Option(("--sample",), "sample", VALUE, metavar="ID", request_key=_Keys.SAMPLE, file_kind="text",
           file_rank=6,
           help="the run's sample: every sample ID a file holds must name it (a warning otherwise, "
                "an error with --strict), and a one-row caller table holding several rows gives its "
                "row; no such row is an error (default: no check; the first row, with a warning)"),
    Option(("--alias",), "alias", VALUES, metavar="NAME", request_key=_Keys.SAMPLE_ALIASES,
           file_kind="text list", file_rank=7,
           help="another name of the --sample in the files (a BAM-style S50.final, say); repeatable"),
    Option(("--log-file",), "log_file", VALUE, metavar="FILE",
           help="log file, appended to (default: corvane.log in the output directory)"),
    Option(("--sample-sheet",), "sample_sheet", VALUE, metavar="SHEET", request_key="sample_sheet",
           file_kind="text", file_rank=10,
           help="run every sample of this sheet (columns sample, panel_tsv, smn_tsv, gba_tsv, "
                "targeted_json, paraphase_json, aliases) into OUTPUT_DIR/<sample>/, then write "
                "run_summary.tsv and .html; exit status 1 when any sample failed"),
    Option(("--jobs",), "jobs", VALUE, metavar="N", request_key="jobs", file_kind="count",
           file_rank=11, convert=_jobs,
           help="worker processes of a sample sheet run (default: the CPUs available)"),
    Option(("--summary-dir",), "summary_dir", VALUE, metavar="DIR", request_key="summary_dir",
           file_kind="text", file_rank=12,
           help="folder of a sample sheet run's summary; must exist (default: the output directory)"),
    Option(("--debug",), "debug", FLAG, help="show the traceback of a failure (default: one line)"),
    Option(("--version",), "", VERSION),
    # Keys of a run configuration file only.
    Option((), request_key="map_files", file_kind="object", file_rank=4),
    Option((), request_key=_Keys.DURABLE, file_kind="boolean", file_rank=9),
)

EPILOG = (
    "Input files are recognised by name, case ignored:\n"
    "  ...combinedvariantoutput.tsv    sectioned panel table   (dragen_500_tsv_config.json)\n"
    "  ...smn.tsv                      one-row caller table    (smn_tsv_config.json)\n"
    "  ...gba.tsv                      one-row caller table    (gba_tsv_config.json)\n"
    "  ....json, \"paraphase\" in path   JSON sections           (pacbio_paraphase_config.json)\n"
    "  any other ....json              JSON sections           (dragen_targeted_config.json)\n"
    "Any other name stops the run. --input KIND PATH gives the kind (panel, smn,\n"
    "gba, targeted, paraphase) whatever the name; a .json whose top-level keys are\n"
    "plainly the other JSON kind's than its name gives is refused without one.\n"
    "\n"
    "Besides the output, the run writes a provenance manifest beside it\n"
    "(NAME without .json, then .manifest.json).\n"
    "\n"
    "Exit status: 0 done; 1 failed (one line \"corvane-parse: error: ...\" on\n"
    "standard error); 2 bad command line or run configuration file; 130 or 143\n"
    "stopped by SIGINT or SIGTERM.\n"
    "\n"
    "Example:\n"
    "  corvane-parse --input-dir run42/Sample1 --output-dir reports \\\n"
    "      --output-json Sample1.unified.json --strict\n"
)

# How argparse takes each kind of option.
_ARGPARSE_TAKES: dict[str, dict[str, Any]] = {
    FILES: {"nargs": "+"}, FLAG: {"action": "store_true"},
    PAIRS: {"nargs": 2, "action": "append"}, VALUES: {"action": "append"},
}
_SPELLINGS = {flag: option for option in OPTIONS for flag in option.flags if option.dest}
_FILE_KEYS = {option.request_key: option for option in sorted(
    (option for option in OPTIONS if option.file_kind), key=lambda option: option.file_rank)}


def _driver() -> Any:
    from CorvaneFileParser import ReportAssembler

    return ReportAssembler


# ---------------------------------------------------------------------------
# Parsers
# ---------------------------------------------------------------------------

def _argparse_arguments(option: Option) -> dict[str, Any]:
    if option.takes == VERSION:
        from CorvaneFileParser import __version__

        return {"action": "version", "version": "%(prog)s " + __version__}
    arguments: dict[str, Any] = dict(_ARGPARSE_TAKES.get(option.takes, {}))
    if option.metavar is not None:
        arguments["metavar"] = option.metavar
    arguments["help"] = option.help
    return arguments


# The argument list of the main() going on in this thread (None: the
# process's, sys.argv[1:]), and the options it parsed before opening the log.
_arguments: ContextVar[list[str] | None] = ContextVar("corvane_arguments", default=None)
_parsed_options: ContextVar[Any] = ContextVar("corvane_parsed_options", default=None)


def command_line_arguments() -> list[str]:
    """The arguments the command line is parsed from: those given to the
    main() going on, else sys.argv[1:]."""
    given = _arguments.get()
    return sys.argv[1:] if given is None else given


def _argument_list(argv: Any) -> list[str]:
    """main()'s argv as a list of texts: paths (os.PathLike, bytes) are taken
    as the command line would give them (os.fsdecode); a lone text, which
    would be read one character at a time, is refused."""
    if isinstance(argv, (str, bytes)):
        raise TypeError(f"argv must be a list of arguments, not {type(argv).__name__}")
    return [item if isinstance(item, str) else os.fsdecode(item) for item in argv]


def parse_args() -> Any:
    """ReportAssembler.parse_args: the options of the command line (main()'s
    argument list, else sys.argv) by argparse; a bad command line exits with
    status 2."""
    import argparse

    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Parse special callers outputs into unified JSON", epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    for option in OPTIONS:
        if option.flags:
            parser.add_argument(*option.flags, **_argparse_arguments(option))
    return parser.parse_args(command_line_arguments())


def _is_value(text: object) -> bool:
    return isinstance(text, str) and text != "" and text[0] != "-"


def parse_plain_command_line(arguments: Any) -> Any:
    """The options of a command line written the plain way, parsed without
    argparse (whose import and set-up take a tenth of a short run): every
    option spelled in full and given once, each value the next argument (or,
    for a long option, after "="), neither empty nor starting with "-",
    --input-files followed by at least one name; --input (KIND PATH) and
    --alias may be repeated. Returns what parse_args() gives for it, as a
    types.SimpleNamespace; None for anything else (help, version,
    abbreviations, repeats, unknown options, stray arguments, values that
    look like options), which is left to argparse to parse or reject."""
    args = list(arguments)
    values: dict[str, Any] = {}
    for option in OPTIONS:
        if option.dest:
            values[option.dest] = False if option.takes == FLAG else None
    given = set()
    count = len(args)
    i = 0
    while i < count:
        token = args[i]
        i += 1
        if not isinstance(token, str):
            return None
        try:
            token.encode("utf-8")
        except UnicodeEncodeError:
            return None
        text, explicit = token, None
        if text.startswith("--") and "=" in text:
            text, _, explicit = text.partition("=")
        found = _SPELLINGS.get(text)
        if found is None:
            return None
        option = found
        takes = option.takes
        if option.dest in given and takes not in (PAIRS, VALUES):
            return None
        given.add(option.dest)
        if takes == FLAG:
            if explicit is not None:
                return None
            values[option.dest] = True
        elif takes == FILES:
            if explicit is not None:
                return None
            names = []
            while i < count and _is_value(args[i]):
                names.append(args[i])
                i += 1
            # An empty argument after the names is one argparse may take as
            # a name: left to it.
            if not names or (i < count and (not isinstance(args[i], str) or args[i] == "")):
                return None
            values[option.dest] = names
        elif takes == PAIRS:
            if explicit is not None or i + 1 >= count or not _is_value(args[i]) or not _is_value(args[i + 1]):
                return None
            values[option.dest] = (values[option.dest] or []) + [[args[i], args[i + 1]]]
            i += 2
        else:
            if explicit is None:
                if i >= count:
                    return None
                explicit = args[i]
                i += 1
            if not _is_value(explicit):
                return None
            if takes == VALUES:
                values[option.dest] = (values[option.dest] or []) + [explicit]
            else:
                values[option.dest] = explicit
    from types import SimpleNamespace

    return SimpleNamespace(**values)


def _plain_command_line() -> Any:
    return parse_plain_command_line(command_line_arguments())


def command_line_options(cls: Any) -> Any:
    """The options of the command line: those main() parsed already, else
    parsed directly when written the plain way and cls.parse_args is the
    driver's own, else by cls.parse_args()."""
    parsed = _parsed_options.get()
    if parsed is not None:
        return parsed
    if cls.parse_args is _driver().ReportAssembler.parse_args:
        plain = _plain_command_line()
        if plain is not None:
            return plain
    return cls.parse_args()


# ---------------------------------------------------------------------------
# Run configuration file
# ---------------------------------------------------------------------------

def _misfit(value: object, file_kind: str) -> str | None:
    """The kind of a value that does not fit `file_kind`, for messages; None
    when it fits."""
    json_kind: Callable[[object], str] = _driver()._json_kind
    if file_kind == "text":
        return None if isinstance(value, str) else json_kind(value)
    if file_kind == "object":
        return None if isinstance(value, dict) else json_kind(value)
    if file_kind == "boolean":
        return None if isinstance(value, bool) else json_kind(value)
    if file_kind == "text map":
        if not isinstance(value, dict):
            return json_kind(value)
        if all(isinstance(item, str) for item in value.values()):
            return None
        return "an object holding other values than strings"
    if file_kind == "text list":
        if not isinstance(value, list):
            return json_kind(value)
        if all(isinstance(item, str) for item in value):
            return None
        return "an array holding other values than strings"
    # count
    number = isinstance(value, (int, float))
    if number and isinstance(value, int) and not isinstance(value, bool) and value > 0:
        return None
    return "another number" if number else json_kind(value)


def check_input_kinds(kinds: dict[Any, Any], where: str) -> None:
    """Every kind of a {path: kind} mapping of the command line or a run
    configuration file is known; RequestError (`where` and the factory's
    message) otherwise."""
    from CorvaneFileParser.Parsers.ReportReaderFactory import check_input_kind

    for path, kind in kinds.items():
        try:
            check_input_kind(path, kind)
        except ValueError as error:
            raise _driver().RequestError(where + str(error)) from None


def check_request_document(path: str, document: object) -> None:
    """A run configuration file must be a JSON object of known keys, each with
    a value of its kind: a typo must not silently change what is read."""
    driver = _driver()
    where = f"Run configuration file {path}"
    if not isinstance(document, dict):
        raise driver.RequestError(f"{where} must hold a JSON object, not {driver._json_kind(document)}")
    for key, value in document.items():
        option = _FILE_KEYS.get(key) if isinstance(key, str) else None
        if option is None:
            from difflib import get_close_matches

            names = list(_FILE_KEYS)
            close = get_close_matches(key.lower(), names, 1)
            hint = f' (did you mean "{close[0]}"?)' if close else f" (known keys: {', '.join(names)})"
            raise driver.RequestError(f'{where}: unknown key "{key}"{hint}')
        found = _misfit(value, option.file_kind)
        if found:
            raise driver.RequestError(
                f'{where}: "{key}" must be {EXPECTED[option.file_kind]}, not {found}')
        if key == _Keys.INPUT_KINDS:
            check_input_kinds(value, where + ": ")


# The run configuration files main() has read, by path: the log's location,
# the log's check and the request read the file once. None outside main();
# each thread's main() has its own.
_read_request_files: ContextVar[dict[str, dict[str, Any]] | None] = ContextVar(
    "corvane_request_files", default=None)


def load_request_file(path: str) -> dict[str, Any]:
    """The run configuration file, read as UTF-8 whatever the platform's
    default encoding (a leading byte-order mark ignored) and checked. Every
    failure is a RequestError naming the file."""
    already = _read_request_files.get()
    if already is not None and path in already:
        return dict(already[path])
    driver = _driver()
    where = f"Run configuration file {path}"
    try:
        # A FIFO or device could block for ever.
        if os.path.exists(path):
            kind = driver._irregular_kind(path)
            if kind is not None:
                raise driver.RequestError(f"{where} is {kind}, not a regular file")
        import json

        with open(path, "r", encoding="utf-8-sig") as stream:
            document = json.load(stream)
    except driver.RequestError:
        raise
    except OSError as error:
        reason = error.strerror
        raise driver.RequestError(
            f"Cannot read run configuration file {path}: {error if reason is None else reason}") from error
    except ValueError as error:
        # JSONDecodeError and UnicodeDecodeError are both ValueErrors.
        raise driver.RequestError(f"{where} is not valid JSON: {error}") from error
    check_request_document(path, document)
    checked: dict[str, Any] = document
    if already is not None:
        already[path] = dict(checked)
    return checked


# ---------------------------------------------------------------------------
# The request
# ---------------------------------------------------------------------------

def from_cli(cls: Any) -> None:
    """ReportAssembler.from_cli: the request from the options and the -c file
    (an option replaces the file's value), run by cls. Options a subclass's
    parse_args does not know count as not given."""
    cls(request_from_options(command_line_options(cls))).run()


def request_from_options(args: Any) -> dict[str, Any]:
    """The request of parsed options: the -c file's settings, each replaced
    by the option given. Raises RequestError for a bad file or value."""
    config: dict[str, Any] = {}
    if getattr(args, "config", None):
        config = load_request_file(args.config)
    _build_request(config, args)
    return config


def _build_request(config: dict[str, Any], args: Any) -> None:
    for option in OPTIONS:
        if not option.request_key or not option.flags:
            continue
        value = getattr(args, option.dest, None)
        if option.dest == "input_files":
            _set_inputs(config, value, getattr(args, "input", None))
        elif option.dest == "input":
            continue  # with --input-files
        elif option.convert is not None:
            if value is not None:
                config[option.request_key] = option.convert(value)
        elif value:
            config[option.request_key] = True if option.takes == FLAG else value


def _set_inputs(config: dict[str, Any], input_files: Any, inputs: Any) -> None:
    """--input-files, then the paths of --input KIND PATH (read as that kind),
    each with its map_files settings under MAP_FILES."""
    if inputs:
        given: dict[str, str] = {}
        names = list(input_files or ())
        for pair in inputs:
            kind, path = pair
            given[path] = kind
            names.append(path)
        check_input_kinds(given, "--input: ")
        kinds: dict[str, str] = {}
        from_file = config.get(_Keys.INPUT_KINDS)
        if isinstance(from_file, dict):
            kinds.update(from_file)
        kinds.update(given)
        config[_Keys.INPUT_KINDS] = kinds
        input_files = names
    if input_files:
        per_file: dict[str, Any] = {}
        for name in input_files:
            per_file[name] = config.get("map_files", {}).get(name, {})
        config[_Keys.MAP_FILES] = per_file
        config["input_files"] = input_files


# ---------------------------------------------------------------------------
# main
# ---------------------------------------------------------------------------

class Stopped(BaseException):
    """A program run stopped by a signal (its number the argument)."""


def _signal_module() -> Any:
    return __import__("_signal")


class _StopSignals:
    """While a program runs, SIGTERM (what a scheduler sends) and SIGINT raise
    Stopped wherever the run is: it unwinds, removing its temporaries, and
    main() reports it. A signal the parent had ignored stays ignored; the
    earlier handlers come back at close(). Set through _signal, the host's
    module behind `signal`, which a short run does not otherwise import."""

    def __init__(self) -> None:
        _signal = _signal_module()

        def handler(number: int, frame: object) -> None:
            raise Stopped(number)

        self._earlier: list[tuple[int, Any]] = []
        for name in ("SIGTERM", "SIGINT"):
            number = getattr(_signal, name)
            current = _signal.getsignal(number)
            if current is None or current is _signal.SIG_IGN:
                continue
            try:
                _signal.signal(number, handler)
            except ValueError:  # not the main thread
                continue
            self._earlier.append((number, current))

    def close(self) -> None:
        _signal = _signal_module()

        for number, handler in self._earlier:
            try:
                _signal.signal(number, handler)
            except Exception:
                pass
        self._earlier.clear()


_frozen_at_exit = False


def _freeze_objects_at_exit() -> None:
    """The interpreter's shutdown after a program run walks every object the
    imports and the run left, a few milliseconds proving that module-level
    objects are still referenced; gc.freeze() at exit lets its collections
    skip them (the host never promises finalizers at exit for objects still
    alive). Program runs only: a caller that goes on keeps its collector."""
    global _frozen_at_exit
    if not _frozen_at_exit:
        import atexit
        import gc

        atexit.register(gc.freeze)
        _frozen_at_exit = True


def _require_fifo_reader(path: str) -> None:
    """Opening a FIFO for writing blocks until a reader opens it: a log file
    that is a FIFO is opened once without blocking first, which fails (ENXIO)
    with no reader instead of hanging."""
    import stat

    if os.path.exists(path) and stat.S_ISFIFO(os.stat(path).st_mode):
        os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK))


def _same_file(a: str, b: str) -> bool:
    if os.path.realpath(a) == os.path.realpath(b):
        return True
    return os.path.exists(a) and os.path.exists(b) and os.path.samefile(a, b)


def _refuse_log_over_input(request: dict[str, Any], log_path: str) -> None:
    """The log is appended to: it must not be one of the files the request
    lists (as given or under the input directory), gives a kind, or that
    discovery would read, or it would change an input before the run reads
    it."""
    if not os.path.exists(log_path):
        return
    names = list(request.get("input_files") or ())
    declared = list(request.get(_Keys.INPUT_KINDS) or {})
    input_dir = request.get(_Keys.INPUT_DIR)
    listed = any(_same_file(name, log_path) or (input_dir and _same_file(os.path.join(input_dir, name), log_path))
                 for name in names + declared if isinstance(name, str))
    # With no names listed, the input directory is read: a log there that
    # discovery takes for a caller file is an input too.
    discovered = (not names
                  and os.path.basename(log_path).lower().endswith((".json", ".tsv"))
                  and _same_file(os.path.dirname(log_path) or ".", input_dir or "."))
    if listed or discovered:
        raise ValueError(f"Log file {log_path} is one of the input files; choose another --log-file")


def _report(message: str, log_open: bool) -> None:
    if log_open:
        ProgramLog.log(40, message)


def _report_failure(error: BaseException, debug: bool, log_open: bool) -> int:
    """Logs a failure at ERROR when the log is open, prints the traceback with
    --debug, then one line on standard error. Returns the exit status: 2 for a
    bad command line or run configuration file, 1 otherwise."""
    driver = _driver()
    message: str = driver._failure_message(error)
    _report(message, log_open)
    # A standard error that cannot take the line changes nothing.
    try:
        stream = sys.stderr
        if debug:
            import traceback

            traceback.print_exception(error)
        stream.write(f"{PROGRAM}: error: {message}\n")
        stream.flush()
    except Exception:
        pass
    return 2 if isinstance(error, driver.RequestError) else 1


def _main_steps(program: bool, state: dict[str, bool]) -> int:
    driver = _driver()
    # The command line is read before the log is opened: --help, --version
    # and a bad option or option value touch no file.
    args = command_line_options(driver.ReportAssembler)
    debug = bool(getattr(args, "debug", False))
    try:
        request: dict[str, Any] = {}
        _build_request(request, args)
        log_path = getattr(args, "log_file", None)
        if not log_path:
            # The effective output directory: the option, else the run
            # configuration file's, else the current directory.
            output_dir = request.get(_Keys.OUTPUT_DIR)
            config = getattr(args, "config", None)
            if not output_dir and config:
                output_dir = load_request_file(config).get(_Keys.OUTPUT_DIR)
            output_dir = output_dir or "."
            driver._require_directory(output_dir, "Output")
            log_path = os.path.join(output_dir, "corvane.log")
        try:
            # With its run configuration file when it can be read; the run
            # reports it otherwise, in the log.
            request = request_from_options(args)
        except Exception:
            pass
        _refuse_log_over_input(request, log_path)
        try:
            _require_fifo_reader(log_path)
            # A program run writes its log lines itself (ProgramLog.DirectLog):
            # not loading logging saves about 10 ms, a fifth of a short run.
            ProgramLog.open_program_log(log_path, program)
        except OSError as error:
            reason = error.strerror
            raise OSError(f"Cannot open log file {log_path}: {error if reason is None else reason}") from error
    except Exception as error:
        return _report_failure(error, debug, False)
    state["log open"] = True
    ProgramLog.log(20, f"Logging to {log_path}")
    parsed = _parsed_options.set(args)
    try:
        driver.ReportAssembler.from_cli()
    except Exception as error:
        return _report_failure(error, debug, True)
    finally:
        _parsed_options.reset(parsed)
    return 0


def main(argv: Sequence[str] | None = None, program: bool = False) -> int:
    """ReportAssembler.main: the command-line run on argv (default
    sys.argv[1:]); returns the exit status, and raises SystemExit for --help,
    --version and a bad command line as the program exits. `program` (the
    corvane-parse script, `python -m CorvaneFileParser`): the process ends
    with the run, so it may install signal handlers, write its log directly
    and freeze the collector at exit; a call from Python code keeps the
    caller's process as it was."""
    state = {"log open": False}
    signals = None
    arguments = _arguments.set(None if argv is None else _argument_list(argv))
    reading = _read_request_files.set({})
    if program:
        _freeze_objects_at_exit()
        signals = _StopSignals()
    try:
        return _main_steps(program, state)
    except Stopped as stop:
        if signals is not None:
            signals.close()  # a second signal ends the process at once
            signals = None
        import signal

        message = f"stopped by {signal.Signals(stop.args[0]).name}"
        _report(message, state["log open"])
        sys.stderr.write(f"{PROGRAM}: error: {message}\n")
        sys.stderr.flush()
        status: int = 128 + stop.args[0]
        return status
    finally:
        _read_request_files.reset(reading)
        _arguments.reset(arguments)
        if signals is not None:
            signals.close()


def run_program(argv: Sequence[str] | None = None) -> int:
    """The program entry of the corvane-parse script and `python -m
    CorvaneFileParser`: main() with the program-only behaviour."""
    return main(argv, program=True)
