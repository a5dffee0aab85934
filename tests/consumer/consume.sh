#!/usr/bin/env bash
# Builds project/ against an installed runtime, the way another project
# would:
#   consume.sh install BUILD_DIR STAGE       lays BUILD_DIR out in STAGE, afresh
#   consume.sh cmake STAGE WORK CXX [TOOLCHAIN_FILE]
#                                            find_package(green), STAGE on the prefix path
#   consume.sh pkg-config STAGE WORK CXX [FLAG...]
#                                            one compiler line with pkg-config's flags
# WORK is made afresh, so nothing found by an earlier run hides a fault.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mode=$1
case $mode in
  install)
    rm -rf "$3"
    cmake --install "$2" --prefix "$3" >/dev/null ;;
  cmake)
    stage=$2 work=$3 cxx=$4 toolchain=${5:-}
    rm -rf "$work"
    cmake -S "$here/project" -B "$work" -G Ninja -DCMAKE_PREFIX_PATH="$stage" \
      -DCMAKE_CXX_COMPILER="$cxx" ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"}
    cmake --build "$work" ;;
  pkg-config)
    stage=$2 work=$3 cxx=$4
    shift 4
    rm -rf "$work"
    mkdir -p "$work"
    # Only the stage's packages: a cross build must not see the host's.
    flags=$(PKG_CONFIG_LIBDIR="$stage/lib/pkgconfig" pkg-config --cflags --libs green)
    echo "pkg-config green: $flags"
    # The flags are words; none has a blank inside.
    # shellcheck disable=SC2086
    "$cxx" -std=c++20 "$here/project/main.cpp" $flags "$@" -o "$work/consumer" ;;
  *)
    echo "consume.sh: unknown mode $mode" >&2
    exit 2 ;;
esac
