#!/bin/bash
# Installs the Debian packages the builds and tests need. Root, idempotent.
# Usage: scripts/install-deps.sh [base|cross|wine32|bench|all]
#   base   native toolchains, GoogleTest sources, Benchmark, sanitizers, valgrind, gcovr,
#          zip and pkg-config for the bundles and the consumer tests
#   cross  mingw-w64 cross compilers, wine64, 32-bit multilib, qemu-user, lld (lld-link)
#   wine32 32-bit Wine through qemu-user (may fail with the archive's state; exit status says so)
#   bench  the peer allocators bench/run.sh compares the string store with
set -uo pipefail
export DEBIAN_FRONTEND=noninteractive
APT="apt-get -q -y -o Acquire::Retries=3 -o DPkg::Lock::Timeout=600"
here=$(cd "$(dirname "$0")" && pwd)
what=${1:-all}

base_pkgs="cmake ninja-build g++ clang libclang-rt-14-dev googletest libbenchmark-dev valgrind gcovr python3 python3-matplotlib file binutils zip pkgconf"
bench_pkgs="libmimalloc-dev libjemalloc-dev libgoogle-perftools-dev"
cross_pkgs="g++-multilib g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 mingw-w64-tools wine64 qemu-user lld"

missing() {
    local p out=""
    for p in "$@"; do
        dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^ii' || out="$out $p"
    done
    echo "$out"
}

install() {
    local need
    need=$(missing "$@")
    [ -z "$need" ] && return 0
    if [ -z "${TBX_APT_UPDATED:-}" ]; then
        $APT update >/dev/null || return 1
        export TBX_APT_UPDATED=1
    fi
    # shellcheck disable=SC2086
    $APT install --no-install-recommends $need >/dev/null
}

rc=0
case "$what" in
    base)   install $base_pkgs || rc=1 ;;
    cross)  install $cross_pkgs || rc=1 ;;
    bench)  install $bench_pkgs || rc=1 ;;
    wine32) bash "$here/setup-wine32.sh" >/dev/null 2>&1 || rc=1 ;;
    all)    install $base_pkgs $cross_pkgs $bench_pkgs || rc=1
            bash "$here/setup-wine32.sh" >/dev/null 2>&1 || rc=2 ;;
    *) echo "usage: $0 [base|cross|wine32|bench|all]" >&2; exit 64 ;;
esac
exit $rc
