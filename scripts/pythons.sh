#!/usr/bin/env bash
# Prints the CPython interpreters the module is built and tested for: those of pyenv from 3.11 on, oldest
# first, one path a line (with "ends": only the oldest and the newest). Without pyenv, the python3 on PATH.
set -euo pipefail
root=${PYENV_ROOT:-$HOME/.pyenv}
found=()
for d in $(ls -d "$root"/versions/3.* 2>/dev/null | sort -V); do
  v=${d##*/}
  minor=$(echo "$v" | cut -d. -f2)
  if [[ "$v" =~ ^3\.[0-9]+\.[0-9]+$ && "$minor" -ge 11 && -x "$d/bin/python" ]]; then found+=("$d/bin/python"); fi
done
# One interpreter per minor version: the newest patch release.
declare -A by_minor=()
order=()
for p in "${found[@]}"; do
  v=$(basename "$(dirname "$(dirname "$p")")"); m=${v%.*}
  if [ -z "${by_minor[$m]:-}" ]; then order+=("$m"); fi
  by_minor[$m]=$p
done
if [ ${#order[@]} -eq 0 ]; then command -v python3; exit 0; fi
if [ "${1:-}" = ends ]; then
  echo "${by_minor[${order[0]}]}"
  if [ ${#order[@]} -gt 1 ]; then echo "${by_minor[${order[-1]}]}"; fi
else
  for m in "${order[@]}"; do echo "${by_minor[$m]}"; done
fi
