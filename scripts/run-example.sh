#!/usr/bin/env bash
# Builds and installs the package into .venv, runs the command line on the
# bundled example files and shows the unified JSON it wrote.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup-env.sh"
cd "$root"
mkdir -p out
.venv/bin/corvane-parse --input-dir examples --output-dir out
cat out/corvane_output.json
echo
