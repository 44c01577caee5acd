#!/usr/bin/env bash
# The shared library exports exactly the functions its public header declares:
# nothing of ours (nor of the libraries it uses) leaks, nothing is missing.
set -euo pipefail
lib=$1
header=$2
exported=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | sort -u)
declared=$(grep -oE '^VXN_API [^(]*\(' "$header" | sed -E 's/.*[ *]([A-Za-z_][A-Za-z0-9_]*)\($/\1/' | sort -u)
if [ "$exported" != "$declared" ]; then
    echo "exported but not declared:"; comm -23 <(echo "$exported") <(echo "$declared")
    echo "declared but not exported:"; comm -13 <(echo "$exported") <(echo "$declared")
    exit 1
fi
soname=$(objdump -p "$lib" | awk '/SONAME/ {print $2}')
[ "$soname" = "libVXN_DPP.so.1" ] || { echo "SONAME is '$soname'"; exit 1; }
echo "exports match the header ($(echo "$declared" | wc -l) functions), SONAME $soname"
