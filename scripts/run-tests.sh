#!/usr/bin/env bash
# Builds and installs the package into .venv, then runs the test suite
# against the installed package.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup-env.sh" --test
cd "$root"
exec .venv/bin/python -m pytest -q "$@" tests
