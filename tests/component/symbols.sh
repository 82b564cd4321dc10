#!/usr/bin/env bash
# The dynamic symbols libqorchat defines are its public API and nothing else.
set -euo pipefail
lib=$1 expected=$2
actual=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sed 's/@@*.*//' | sort -u)
if ! diff -u <(sort -u "$expected") <(echo "$actual"); then
  echo "libqorchat exports other symbols than its public API (above: - expected, + found)" >&2
  exit 1
fi
echo "$(echo "$actual" | wc -l) symbols, as expected"
