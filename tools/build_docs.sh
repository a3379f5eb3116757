#!/usr/bin/env bash
# Builds the documentation site into docs/_build/html, warnings as errors.
#
#   tools/build_docs.sh [pip install options]     e.g. tools/build_docs.sh --no-build-isolation
#
# Installs the package with its docs extra into the Python environment of $PYTHON (default:
# python3 on the PATH), then runs Sphinx on a clean tree: the previous output and the pages
# generated from examples/ are removed first, since an incremental build neither re-reads
# unchanged pages (so it would not repeat their warnings) nor re-runs unchanged tutorials.
# Prints the time of the install, of the Sphinx build (tutorials included) and in total.
set -euo pipefail
cd "$(dirname "$0")/.."
python="${PYTHON:-python3}"
start=$SECONDS

"$python" -m pip install -q "$@" '.[docs]'
installed=$SECONDS
echo "docs: package and docs extra installed in $((installed - start)) s"

rm -rf docs/_build docs/tutorials docs/sg_execution_times.rst
status=0
"$python" -m sphinx -W --keep-going -b html docs docs/_build/html || status=$?
finished=$SECONDS
echo "docs: sphinx build (tutorials included) took $((finished - installed)) s"
if [ "$status" -ne 0 ]; then
    echo "docs: the build failed (exit status $status)" >&2
    exit "$status"
fi
echo "docs: built docs/_build/html/index.html in $((finished - start)) s in total"
