#!/bin/bash
# Builds and runs programs that use the library the way its users do: from
# outside the source tree, against what is installed or shipped.
#
#   linux-x64  `cmake --install`; the C++ programs through find_package (shared
#              and static library), the C program and the C++ layer's through
#              pkg-config
#   linux-x86  `cmake --install`; the C program and the C++ layer's through
#              pkg-config, under qemu-i386
#   Windows    the release bundles of scripts/bundle.sh, for x64, x86 and x86
#              __stdcall: each DLL's exports, imports and version resource; the
#              C program linked with the mingw import library and with the one
#              for MSVC's linker (lld-link, no C runtime); the C++ programs through
#              the bundle's CMake package. Programs run under wine64 (x64) and,
#              when TBX_WINE32=yes, under 32-bit Wine (x86).
#
# The C++ programs are consumer.cpp, the C interface from C++, and
# cpp_layer.cpp, the C++ layer (tembrix.hpp) as C++17 with -Wall -Wextra -Werror.
#
# One line per check, then "N passed, N failed". Logs: build/logs/consumer/.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
logs=$root/build/logs/consumer
rm -rf "$logs"
mkdir -p "$logs"
work=$(mktemp -d "${TMPDIR:-/tmp}/tembrix-consumer.XXXXXX")
trap 'rm -rf "$work"' EXIT
src=$root/tests/consumer
if [ "${TBX_WINE32:-auto}" = auto ]; then
    TBX_WINE32=no
    /usr/lib/wine/wine --version >/dev/null 2>&1 && TBX_WINE32=yes
fi

passed=0
failed=0
# check NAME FUNCTION [ARGS...]: runs the function with `set -e`, its output
# in build/logs/consumer/NAME.log, and counts the result.
check() {
    local name=$1 rc; shift
    # Not in an `if`: there `set -e` would be ignored inside the function.
    ( set -e; "$@" ) >"$logs/$name.log" 2>&1
    rc=$?
    if [ "$rc" -eq 0 ]; then
        passed=$((passed + 1))
        printf 'ok    %s%s\n' "$name" "$(sed -n 's/^NOTE: / -- /p' "$logs/$name.log" | tr -d '\n')"
    else
        failed=$((failed + 1))
        printf 'FAIL  %s (build/logs/consumer/%s.log)\n' "$name" "$name"
        tail -15 "$logs/$name.log" | sed 's/^/      /'
    fi
}

# require FILE...: each must exist.
require() {
    local f
    for f in "$@"; do [ -e "$f" ] || { echo "missing: $f"; return 1; }; done
}

# expect_flags VERSION: the -DEXPECT_MAJOR=... flags that make consumer.c
# check the header's version against the package's.
expect_flags() {
    local major minor patch
    IFS=. read -r major minor patch <<<"$1"
    echo "-DEXPECT_MAJOR=$major -DEXPECT_MINOR=$minor -DEXPECT_PATCH=$patch"
}

c_flags=(-std=c99 -Wall -Wextra -Wpedantic -Werror)

# ---- Linux: the installed prefix -------------------------------------------------

# linux_install ARCH: builds the preset's libraries and installs them into
# $work/linux-ARCH; checks the tree, the SONAME and the exports, and that the
# static library has no failure switch in it.
linux_install() {
    local arch=$1 preset=linux-$1 prefix=$work/linux-$1 class
    cmake --preset "$preset"
    cmake --build --preset "$preset" --target tembrix tembrix_static
    cmake --install "build/$preset" --prefix "$prefix"
    cd "$prefix"
    require include/tembrix.h include/tembrix.hpp include/tembrix_version.h lib/libtembrix.so lib/libtembrix.a \
            lib/cmake/tembrix/tembrixConfig.cmake lib/cmake/tembrix/tembrixConfigVersion.cmake \
            lib/pkgconfig/tembrix.pc share/doc/tembrix/LICENSE
    local version
    version=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --modversion tembrix)
    echo "version $version"
    readelf -d lib/libtembrix.so | grep -F "Library soname: [libtembrix.so.${version%%.*}]"
    [ "$(readlink -f lib/libtembrix.so)" = "$prefix/lib/libtembrix.so.$version" ]
    [ "$arch" = x64 ] && class=ELF64 || class=ELF32
    readelf -h lib/libtembrix.so | grep -E "Class: +$class"
    python3 "$root/tests/check_exports.py" --def "$root/library/tembrix.def" \
        --map "$root/library/tembrix.map" --header include/tembrix.h lib/libtembrix.so
    # The failure switch of the test build: neither its object nor a call to it.
    ! ar t lib/libtembrix.a | grep -F fault || return 1
    ! nm -C lib/libtembrix.a | grep -F 'tbx::fault' || return 1
}

# cmake_consumer: the C++ programs through find_package, shared and static.
cmake_consumer() {
    cmake -S "$src" -B "$work/cmake-x64" -G Ninja -DCMAKE_PREFIX_PATH="$work/linux-x64"
    cmake --build "$work/cmake-x64"
    "$work/cmake-x64/consumer_shared"
    "$work/cmake-x64/consumer_static"
    "$work/cmake-x64/cpp_layer_shared"
    "$work/cmake-x64/cpp_layer_static"
    readelf -d "$work/cmake-x64/consumer_shared" | grep -F 'Shared library: [libtembrix.so.'
    ! readelf -d "$work/cmake-x64/consumer_static" | grep -F libtembrix || return 1
}

# pkgconfig_consumer ARCH: the C program and the C++ layer's through pkg-config.
pkgconfig_consumer() {
    local arch=$1 prefix=$work/linux-$1 m="" run=()
    [ "$arch" = x86 ] && { m=-m32; run=(qemu-i386 -L /); }
    export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
    # shellcheck disable=SC2046
    cc $m "${c_flags[@]}" $(expect_flags "$(pkg-config --modversion tembrix)") "$src/consumer.c" \
        $(pkg-config --cflags --libs tembrix) -Wl,-rpath,"$(pkg-config --variable=libdir tembrix)" \
        -o "$work/pkgconfig-$arch"
    "${run[@]}" "$work/pkgconfig-$arch"
    # shellcheck disable=SC2046
    c++ $m -std=c++17 -Wall -Wextra -Werror "$src/cpp_layer.cpp" $(pkg-config --cflags --libs tembrix) \
        -Wl,-rpath,"$(pkg-config --variable=libdir tembrix)" -o "$work/pkgconfig-cpp-$arch"
    "${run[@]}" "$work/pkgconfig-cpp-$arch"
}

# ---- Windows: the release bundles --------------------------------------------------

bundle() {
    bash scripts/bundle.sh
    mkdir -p "$work/bundle"
    local zip
    for zip in build/bundle/tembrix-*-win-x86.zip build/bundle/tembrix-*-win-x64.zip; do
        (cd "$work/bundle" && cmake -E tar xf "$root/$zip")
        require "$work/bundle/$(basename "$zip" .zip)/LICENSE" "$work/bundle/$(basename "$zip" .zip)/README.txt"
    done
}

# flavour FLAVOUR: sets dir, triple, msvc_triple, wine, defs for x64, x86 or x86-stdcall.
flavour() {
    dir=$(echo "$work"/bundle/tembrix-*-win-"${1%-stdcall}")
    defs=""
    case $1 in
        x64) triple=x86_64-w64-mingw32 msvc_triple=x86_64-pc-windows-msvc wine=win64 ;;
        x86*) triple=i686-w64-mingw32 msvc_triple=i686-pc-windows-msvc wine=win32 ;;
    esac
    if [ "$1" = x86-stdcall ]; then dir=$dir/stdcall; defs=-DTBX_USE_STDCALL; fi
    version=$(PKG_CONFIG_PATH=$dir/lib/pkgconfig pkg-config --modversion tembrix)
}

# run_windows FLAVOUR PROGRAM: runs it beside the bundle's DLL, where Wine can.
run_windows() {
    cp "$dir/bin/tembrix.dll" "$(dirname "$2")/"
    if [ "$wine" = win32 ] && [ "$TBX_WINE32" != yes ]; then
        echo "NOTE: built, not run (no 32-bit Wine here)"
        return 0
    fi
    "$root/cmake/run-wine.sh" "$wine" "$2"
}

# imports_from_def EXE: the program imports from tembrix.dll only names the
# bundle's .def exports, undecorated.
imports_from_def() {
    local exports imports
    exports=$(awk '/^EXPORTS/{e=1; next} e && NF && $1 !~ /^;/ {print $1}' "$dir/lib/tembrix.def" | sort)
    imports=$("$triple-objdump" -p "$1" |
              awk '/DLL Name:/{dll=tolower($3); next} /^$/{dll=""} dll=="tembrix.dll" && NF==3 && $1 ~ /^[0-9a-f]+$/ {print $3}' |
              sort)
    echo "imports from tembrix.dll:" "$(tr '\n' ' ' <<<"$imports")"
    [ -n "$imports" ]
    [ -z "$(comm -13 <(echo "$exports") <(echo "$imports"))" ]
}

# bundle_contents FLAVOUR: the files, the export table, and the version resource.
bundle_contents() {
    flavour "$1"
    require "$dir/bin/tembrix.dll" "$dir/include/tembrix.h" "$dir/include/tembrix.hpp" "$dir/include/tembrix_version.h" \
            "$dir/lib/tembrix.lib" "$dir/lib/libtembrix.dll.a" "$dir/lib/tembrix.def" \
            "$dir/lib/cmake/tembrix/tembrixConfig.cmake" "$dir/lib/pkgconfig/tembrix.pc"
    [ "$1" != x86-stdcall ] || require "$dir/lib/tembrix-stdcall.def"
    python3 "$root/tests/check_exports.py" --objdump "$triple-objdump" --def "$dir/lib/tembrix.def" \
        --header "$dir/include/tembrix.h" "$dir/bin/tembrix.dll"
    local rc
    rc=$("$triple-windres" -i "$dir/bin/tembrix.dll" -O rc)
    echo "$rc"
    grep -F "FILEVERSION ${version//./, }, 0" <<<"$rc"
    grep -F "VALUE \"ProductVersion\", \"$version\"" <<<"$rc"
    grep -F 'VALUE "ProductName", "TEMBRIX"' <<<"$rc"
    if [ "$1" = x86-stdcall ]; then
        grep -E 'VALUE "FileDescription", ".*__stdcall' <<<"$rc"
    else
        ! grep -F __stdcall <<<"$rc" || return 1
    fi
}

# mingw_client FLAVOUR: the C program built through the bundle's tembrix.pc,
# which links libtembrix.dll.a (and for __stdcall adds TBX_USE_STDCALL).
mingw_client() {
    flavour "$1"
    local out=$work/mingw-$1
    mkdir -p "$out"
    export PKG_CONFIG_LIBDIR=$dir/lib/pkgconfig
    # shellcheck disable=SC2046
    "$triple-gcc" "${c_flags[@]}" $(expect_flags "$version") "$src/consumer.c" \
        $(pkg-config --cflags --libs tembrix) -Wl,--trace -o "$out/consumer.exe" | tee "$out/trace"
    # ld names the import library it took (through lib/pkgconfig/../..).
    [ "$(realpath "$(grep -E '/libtembrix[.]dll[.]a$' "$out/trace")")" = "$dir/lib/libtembrix.dll.a" ]
    imports_from_def "$out/consumer.exe"
    run_windows "$1" "$out/consumer.exe"
}

# msvc_client FLAVOUR: the C program compiled for the MSVC ABI and linked by
# lld-link, MSVC's linker's stand-in, with tembrix.lib and no C runtime. On
# x86 lld-link, like MSVC's linker, asks for /SAFESEH by default.
msvc_client() {
    flavour "$1"
    local out=$work/msvc-$1
    mkdir -p "$out"
    # shellcheck disable=SC2046
    clang --target="$msvc_triple" -ffreestanding -O1 "${c_flags[@]}" $defs $(expect_flags "$version") \
        -I"$dir/include" -c "$src/consumer.c" -o "$out/consumer.obj"
    lld-link /nologo /entry:main /subsystem:console /nodefaultlib "/out:$out/consumer.exe" \
        "$out/consumer.obj" "$dir/lib/tembrix.lib"
    imports_from_def "$out/consumer.exe"
    run_windows "$1" "$out/consumer.exe"
}

# cmake_windows FLAVOUR: the C++ programs through the bundle's CMake package.
cmake_windows() {
    flavour "$1"
    local out=$work/cmake-win-$1 toolchain=mingw-x64
    [ "$wine" = win32 ] && toolchain=mingw-x86
    cmake -S "$src" -B "$out" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain.cmake" \
        -DCMAKE_PREFIX_PATH="$dir"
    cmake --build "$out"
    local program
    for program in consumer_shared cpp_layer_shared; do
        imports_from_def "$out/$program.exe"
        run_windows "$1" "$out/$program.exe"
    done
}

check install-linux-x64 linux_install x64
check find_package-linux-x64 cmake_consumer
check pkg-config-linux-x64 pkgconfig_consumer x64
check install-linux-x86 linux_install x86
check pkg-config-linux-x86 pkgconfig_consumer x86
check bundle bundle
for f in x64 x86 x86-stdcall; do
    check "bundle-$f" bundle_contents "$f"
    check "mingw-implib-$f" mingw_client "$f"
    check "msvc-implib-$f" msvc_client "$f"
done
check find_package-win-x64 cmake_windows x64
check find_package-win-x86 cmake_windows x86
check find_package-win-x86-stdcall cmake_windows x86-stdcall

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
