#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer into
# build/asan (build/asan-<version> for another R7U_PYTHON_VERSION than 3.12)
# and runs the whole test suite against that build. Any sanitizer
# report, in the test process or in any child it starts, fails the run.
# Extra arguments go to pytest (for example a test file, or -k); test paths
# are taken as typed from where the script is started.
#
# The interpreter itself is not instrumented: the ASan runtime of the
# compiler that built the module is preloaded into it, leak detection is off
# (the interpreter keeps much of its memory until exit on purpose), and
# PYTHONMALLOC=malloc hands every object allocation to ASan, so that a write
# past the end of an object's memory is caught too.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
source "$here/scripts/test-args.sh"
source "$here/scripts/venv.sh"

# The test tools come from the virtual environment of scripts/test.sh (made
# or brought up to date here; the module installed there is not used).
r7u_prepare_venv test

# R7U_PYTHON_VERSION (read by venv.sh and dev-build.sh) picks the interpreter.
build="$here/build/asan"
if [ "$r7u_version" != "3.12" ]; then build="$build-$r7u_version"; fi
"$here/scripts/dev-build.sh" "$build" -DR7U_SANITIZE=ON

module=$(ls "$build"/r7u_razarozu*.so)
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
asan_runtime=$("$cxx" -print-file-name=libasan.so)
if [ ! -e "$asan_runtime" ]; then
    echo "no ASan runtime for $cxx" >&2
    exit 1
fi
asan_runtime=$(readlink -f "$asan_runtime")
libs=$(ldd "$module")
if [[ "$libs" != *libasan* ]]; then
    echo "$module is not built with AddressSanitizer" >&2
    exit 1
fi

# Each process writes its reports to its own file here; any file fails the run.
reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT

export PYTHONPATH="$build"
export PYTHONMALLOC=malloc
export LD_PRELOAD="$asan_runtime"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=0:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"

where=$("$venv_python" -c "import r7u_razarozu; print(r7u_razarozu.__file__)")
if [ "$where" != "$module" ]; then
    echo "the tests would import $where instead of $module" >&2
    exit 1
fi

cd "$here/tests"
status=0
"$venv_python" -m pytest -q -p no:cacheprovider ${r7u_test_args[@]+"${r7u_test_args[@]}"} || status=$?

found=$(find "$reports" -type f -size +0 | sort)
if [ -n "$found" ]; then
    echo "sanitizer reports:" >&2
    for f in $found; do
        echo "== $f" >&2
        cat "$f" >&2
    done
    exit 1
fi
exit "$status"
