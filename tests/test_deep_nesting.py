"""Recursion over nested values is bounded by sys.getrecursionlimit().

At the default limit the deepest walk fits in a 256 KiB thread stack. The
small-stack runs happen in a subprocess, so that an overflow shows as a
failed test rather than ending the test run.
"""

import subprocess
import sys
import textwrap

import pytest
from sanitizer import small_stack

from CorvaneFileParser.Parsers.ReportReaderBase import ReportReaderBase

fmt = ReportReaderBase._format_value


def nested(kind, depth, leaf="1.239"):
    value = leaf
    for level in range(depth):
        if kind == "list":
            value = [value]
        elif kind == "dict":
            value = {"k": value, "n": "2"}
        else:
            value = [value] if level % 2 else {"k": value}
    return value


def innermost(value):
    while isinstance(value, (list, dict)):
        value = value[0] if isinstance(value, list) else value["k"]
    return value


SMALL_STACK_RUN = textwrap.dedent(
    """
    import sys, threading
    from CorvaneFileParser.Parsers.ReportReaderBase import ReportReaderBase
    from test_deep_nesting import nested, innermost

    kind, depth = sys.argv[1], int(sys.argv[2])
    value = nested(kind, depth)
    outcome = []

    def run():
        try:
            outcome.append(innermost(ReportReaderBase._format_value(value)))
        except RecursionError as error:
            outcome.append("RecursionError: " + str(error))

    threading.stack_size(256 * 1024)
    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    print(sys.getrecursionlimit(), outcome[0])
    """
)




def run_small_stack(kind, depth):
    tests_dir = __file__.rsplit("/", 1)[0]
    done = subprocess.run(
        [sys.executable, "-c", SMALL_STACK_RUN, kind, str(depth)],
        capture_output=True, text=True, timeout=120, cwd=tests_dir,
    )
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout.strip()


@small_stack
@pytest.mark.parametrize(
    "kind, message",
    [("list", "a list"), ("dict", "a mapping"), ("mixed", "a list")],
)
def test_deepest_input_raises_in_a_small_thread_stack(kind, message):
    assert run_small_stack(kind, 100_000) == (
        f"1000 RecursionError: maximum recursion depth exceeded while formatting {message}"
    )


@small_stack
@pytest.mark.parametrize("kind", ["list", "dict", "mixed"])
def test_nesting_within_the_limit_is_formatted_in_a_small_thread_stack(kind):
    assert run_small_stack(kind, 990) == "1000 1.24"


def limited(limit):
    class Limit:
        def __enter__(self):
            self.saved = sys.getrecursionlimit()
            sys.setrecursionlimit(limit)

        def __exit__(self, *exc):
            sys.setrecursionlimit(self.saved)

    return Limit()


def test_a_lower_limit_is_honoured():
    with limited(400):
        assert innermost(fmt(nested("mixed", 380))) == 1.24
        with pytest.raises(RecursionError, match="^maximum recursion depth exceeded while formatting"):
            fmt(nested("mixed", 420))


def test_a_raised_limit_still_stops_before_the_stack_ends():
    # The host's C-level bound still applies beyond its own depth.
    with limited(1_000_000):
        with pytest.raises(RecursionError):
            fmt(nested("list", 200_000))


def test_depth_is_released_after_an_error():
    for _ in range(3):
        with pytest.raises(RecursionError):
            fmt(nested("dict", 5000))
    assert innermost(fmt(nested("dict", 900))) == 1.24
    assert fmt(nested("list", 3)) == [[[1.24]]]
