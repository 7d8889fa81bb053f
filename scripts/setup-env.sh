#!/usr/bin/env bash
# Creates .venv with a CPython 3.13 interpreter, installs the build tools and
# builds and installs the package into it. Safe to run again: the build
# directory is kept, so a rebuild only compiles what changed.
# With --test the package's test extra (pytest, jsonschema, mypy, snakemake) is installed too.
set -euo pipefail
target="."
case "${1:-}" in
    --test) target=".[test]" ;;
    "") ;;
    *) echo "usage: $0 [--test]" >&2; exit 2 ;;
esac
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

find_python() {
    local candidate
    if candidate=$(command -v python3.13) && "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
        echo "$candidate"; return
    fi
    if command -v pyenv >/dev/null 2>&1; then
        local version
        for version in $(pyenv versions --bare 2>/dev/null | grep -E '^3\.13(\.[0-9]+)?$' | sort -t. -k3 -n -r); do
            candidate=$(PYENV_VERSION="$version" pyenv which python3.13 2>/dev/null) && { echo "$candidate"; return; }
        done
    fi
    for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13; do
        [ -x "$candidate" ] && { echo "$candidate"; return; }
    done
    echo "error: no CPython 3.13 interpreter found (install python3.13 or a pyenv 3.13 version)" >&2
    return 1
}

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
    python=$(find_python)
    rm -rf .venv
    "$python" -m venv .venv
fi
# Exact versions for a reproducible build and test environment (the package
# itself allows compatible releases of msgspec).
.venv/bin/python -m pip install --quiet --disable-pip-version-check \
    "nanobind==2.9.2" "scikit-build-core==0.11.6" "setuptools==80.9.0" "pytest>=8" "msgspec==0.22.0"
.venv/bin/python -m pip install --quiet --disable-pip-version-check \
    --no-build-isolation -Cbuild-dir=build "$target"
