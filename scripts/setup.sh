#!/usr/bin/env bash
# Installs what a fresh Debian 12 or 13 machine lacks to build and test zarnu: Debian packages with
# apt-get, Python tools with pip. Idempotent, and quiet when everything is there.
set -euo pipefail

sudo_if_needed() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# Boost >= 1.81: Debian 12 ships it as versioned packages beside its default 1.74.
boost_pkgs="libboost-dev libboost-context-dev"
if apt-cache show libboost1.81-dev >/dev/null 2>&1; then
  boost_pkgs="libboost1.81-dev libboost-context1.81-dev"
fi

# mimalloc serves only the benchmarks, as the allocator ceiling they preload into a worker process (never
# linked into the module); its package name carries its major version.
mimalloc_pkg=""
for candidate in libmimalloc2.0 libmimalloc3; do
  if apt-cache show "$candidate" >/dev/null 2>&1; then
    mimalloc_pkg=$candidate
    break
  fi
done

pkgs="$mimalloc_pkg build-essential cmake ninja-build pkg-config python3-dev python3-venv
  nlohmann-json3-dev libtsl-ordered-map-dev $boost_pkgs libxxhash-dev libdouble-conversion-dev
  libgtest-dev libbenchmark-dev libsimdjson-dev clang libclang-rt-dev clang-format"

missing=""
for p in $pkgs; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "setup: installing Debian packages:$missing"
  export DEBIAN_FRONTEND=noninteractive
  sudo_if_needed apt-get update -qq
  # shellcheck disable=SC2086
  sudo_if_needed apt-get install -y -qq $missing >/dev/null
fi

# Python tools for every interpreter the module is tested on: the test runner and the type checker; numpy
# and pysimdjson are C++ extensions the tests load beside zarnu. The build's own interpreter also gets
# the wheel's build backend and its checker.
py=${PYTHON:-python3}
here=$(dirname "$0")
for p in $(bash "$here/pythons.sh") "$py"; do
  # module:package pairs
  want="pytest:pytest mypy:mypy numpy:numpy simdjson:pysimdjson"
  [ "$p" = "$py" ] && want="$want scikit_build_core:scikit-build-core auditwheel:auditwheel wheel:wheel"
  need=$("$p" -c 'import importlib.util, sys
print(" ".join(w.split(":")[1] for w in sys.argv[1:] if importlib.util.find_spec(w.split(":")[0]) is None))' $want)
  if [ -n "$need" ]; then
    echo "setup: installing Python tools for $("$p" -c 'import sys; print(sys.version.split()[0])'): $need"
    # shellcheck disable=SC2086
    "$p" -m pip install -q --disable-pip-version-check $need
  fi
done
