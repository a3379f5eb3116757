#!/usr/bin/env bash
# Builds one wheel of halfmoon (against NumPy 2 headers, in pip's isolated build environment)
# and runs the test suite with that same wheel under the oldest supported NumPy 1.x and the
# newest NumPy 2.x, each in a fresh virtual environment that sees nothing of the interpreter's
# own site-packages.
#
#   tools/check_numpy_versions.sh            # the repository's tests/ under each version
#   tools/check_numpy_versions.sh -x -q      # with pytest options
#
# Everything is made under $HALFMOON_NUMPY_CHECK_DIR (default ${TMPDIR:-/tmp}/halfmoon-numpy)
# and downloaded from the package index. Exits non-zero when any environment fails; the last
# lines name each NumPy version and its outcome.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
work="${HALFMOON_NUMPY_CHECK_DIR:-${TMPDIR:-/tmp}/halfmoon-numpy}"
python="${PYTHON:-python3}"

# Each environment: a name, then its requirements besides the wheel. The test extras are pinned
# to releases that work with the NumPy of the environment.
environments=(
    "numpy-1.23|numpy==1.23.5 scipy>=1.9,<1.12 shapely>=2,<2.1"
    "numpy-2|numpy>=2,<3 scipy>=1.9 shapely>=2"
)
common=("pytest>=7" "hypothesis>=6" "mpmath>=1.2")

mkdir -p "$work"
rm -rf "$work/wheelhouse" "$work/build"
# A clean build tree outside the repository: the isolated build environment is new each time.
"$python" -m pip wheel -q --no-deps -w "$work/wheelhouse" -Cbuild-dir="$work/build" "$repo"
wheel="$(ls "$work"/wheelhouse/halfmoon-*.whl)"
echo "wheel: $wheel"


summary=()
status=0
for environment in "${environments[@]}"; do
    name="${environment%%|*}"
    read -r -a requirements <<<"${environment#*|}"
    venv="$work/$name"
    rm -rf "$venv"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q "$wheel" "${requirements[@]}" "${common[@]}"
    version="$("$venv/bin/python" -c 'import numpy; print(numpy.__version__)')"
    echo "=== $name: NumPy $version"
    # Run outside the repository, so that the installed wheel is what gets imported (pytest
    # puts tests/ itself on the path for the helpers the tests share).
    if (cd "$work" && "$venv/bin/python" - "$venv" <<'CHECK'
import sys
import _eclipse, _kestrin, _orvinth, _tessaly, _velmora
import halfmoon
from halfmoon import _geometry
for module in (_eclipse, _kestrin, _orvinth, _tessaly, _velmora, halfmoon, _geometry):
    if not module.__file__.startswith(sys.argv[1]):
        sys.exit(f"{module.__name__} comes from {module.__file__}")
CHECK
    ) && (cd "$work" && "$venv/bin/python" -m pytest -p no:cacheprovider "$@" "$repo/tests"); then
        summary+=("NumPy $version: passed")
    else
        summary+=("NumPy $version: FAILED")
        status=1
    fi
done

echo
for line in "${summary[@]}"; do
    echo "$line"
done
exit "$status"
