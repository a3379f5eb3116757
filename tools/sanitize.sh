#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer and UndefinedBehaviorSanitizer and runs the
# test suite against that build.
#
#   tools/sanitize.sh                 # the whole tests/ directory
#   tools/sanitize.sh -x -q           # pytest options, still the whole directory
#   tools/sanitize.sh tests/test_fuzz.py   # chosen tests, paths relative to the repository
#
# The build and a virtual environment of its own live in $HALFMOON_SANITIZE_DIR (default
# ${TMPDIR:-/tmp}/halfmoon-sanitize), so an ordinary installation is left alone; a second run
# rebuilds only what changed. The environment sees the interpreter's site-packages (NumPy,
# pytest and the other test extras come from there and are installed only where missing).
#
# The interpreter itself is not instrumented, so the sanitizer runtimes are preloaded into it.
# LeakSanitizer is off (the interpreter's own allocations at exit would bury any report;
# tests/test_leaks.py watches reference counts, and memory in ordinary builds); any undefined
# behaviour or invalid memory access aborts the run with a stack trace. PYTHONMALLOC=malloc
# routes Python's own small objects through malloc too, so that an overrun into one of them is
# caught.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
work="${HALFMOON_SANITIZE_DIR:-${TMPDIR:-/tmp}/halfmoon-sanitize}"
python="${PYTHON:-python3}"
venv="$work/venv"

if [[ ! -x "$venv/bin/python" ]]; then
    "$python" -m venv --system-site-packages "$venv"
fi
# Besides the checks the project's sanitizer option turns on: a double converted to an integer
# type that cannot hold it (not part of -fsanitize=undefined in GCC). Division by zero is not
# checked: the geometry relies on IEEE infinities.
extra_checks="-fsanitize=float-cast-overflow -fno-sanitize-recover=float-cast-overflow"
# Build requirements for a build without isolation (already satisfied where the interpreter
# has them), then the package itself with the sanitizers on, its debug symbols kept so that
# reports name functions and lines.
"$venv/bin/python" -m pip install -q 'scikit-build-core>=0.10' 'numpy>=2' cmake ninja
"$venv/bin/python" -m pip install -q --no-build-isolation \
    -Cbuild-dir="$work/build" -Ccmake.define.HALFMOON_SANITIZE=ON -Cinstall.strip=false \
    -Ccmake.define.CMAKE_CXX_FLAGS="$extra_checks" "$repo[test]"

runtimes="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
for runtime in $runtimes; do
    if [[ ! -e "$runtime" ]]; then
        echo "sanitize.sh: sanitizer runtime $runtime not found" >&2
        exit 2
    fi
done

# From the repository, pytest takes its configuration and (without a path among the arguments)
# the whole tests/ directory; the repository root holds no importable module that could shadow
# the instrumented installation.
cd "$repo"
export LD_PRELOAD="$runtimes"
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export PYTHONMALLOC=malloc
# The instrumented modules, not another installation, must be the ones imported.
"$venv/bin/python" - "$venv" <<'CHECK'
import sys
import _eclipse, _kestrin, _orvinth, _tessaly, _velmora
from halfmoon import _geometry
for module in (_eclipse, _kestrin, _orvinth, _tessaly, _velmora, _geometry):
    if not module.__file__.startswith(sys.argv[1]):
        sys.exit(f"sanitize.sh: {module.__name__} comes from {module.__file__}")
CHECK
# --capture=sys: a sanitizer writes its report straight to file descriptor 2 and then aborts;
# pytest's default capture of that descriptor would swallow the report with the process.
exec "$venv/bin/python" -m pytest -p no:cacheprovider --capture=sys "$@"
