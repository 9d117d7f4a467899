#!/usr/bin/env bash
# A long fuzz campaign: the fuzz tests of the suite (tests/test_fuzz.py) with
# their input counts multiplied and a seed of your choice.
#
#   bash scripts/fuzz.sh [scale [seed]]
#
# scale (default 50) multiplies the inputs of every kind (a CI run is scale
# 1: about 9200 inputs); seed (default: a new one, printed) picks them. With
# R7U_FUZZ_SANITIZE=1 the campaign runs against the sanitizer build of
# scripts/test-sanitizers.sh. A failure names the kind, seed and input, and
# `python tests/fuzzcases.py --help` tells how to run that input alone.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
export R7U_FUZZ_SCALE="${1:-${R7U_FUZZ_SCALE:-50}}"
export R7U_FUZZ_SEED="${2:-${R7U_FUZZ_SEED:-$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')}}"
echo "fuzz campaign: scale $R7U_FUZZ_SCALE, seed $R7U_FUZZ_SEED"

if [ "${R7U_FUZZ_SANITIZE:-0}" = 1 ]; then
    exec bash "$here/scripts/test-sanitizers.sh" test_fuzz.py -s
fi
source "$here/scripts/venv.sh"
r7u_prepare_venv test
cd "$here/tests"
"$venv_python" -m pytest -q -s -p no:cacheprovider test_fuzz.py
