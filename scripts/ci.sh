#!/usr/bin/env bash
# The whole test run, as CI runs it (.ci/run): the test suite on CPython
# 3.12, 3.13, 3.14 and 3.15 (find-python.sh installs Debian's 3.14 and 3.15
# where they are missing), the mirrored interpreter layouts checked against
# each version's internal headers, the whole suite again against the
# sanitizer build on 3.12 and on 3.15, then the Windows checks
# (cross-compile, and the platform driver natively and under Wine).
# A new step is one more `step` line and its command below. Each step says
# how long the run has taken so far.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
step() { echo "== $* (at $(((SECONDS - start) / 60)) min)"; }
for v in 3.12 3.13 3.14 3.15; do
    step "test suite, CPython $v"
    R7U_PYTHON_VERSION=$v bash scripts/test.sh
done
step "mirrored layouts against each version's internal headers"
bash scripts/layout-check.sh
step "test suite, AddressSanitizer + UndefinedBehaviorSanitizer build, CPython 3.12"
bash scripts/test-sanitizers.sh --ignore=test_wheel.py
step "test suite, AddressSanitizer + UndefinedBehaviorSanitizer build, CPython 3.15"
R7U_PYTHON_VERSION=3.15 bash scripts/test-sanitizers.sh --ignore=test_wheel.py
step "Windows checks"
bash scripts/windows-check.sh
step "done"
