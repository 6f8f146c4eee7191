#!/bin/bash
# Makes the Windows release bundles, one zip per architecture, in build/bundle/:
#
#   tembrix-<version>-win-x86.zip   the product DLL, and in stdcall/ its __stdcall flavour
#   tembrix-<version>-win-x64.zip
#
# Each is the `cmake --install` tree of its preset (bin/, include/, lib/ with
# both import libraries, the .def, the CMake package and tembrix.pc), with
# the binaries stripped, plus LICENSE and a README. Installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=$root/build/bundle
logs=$root/build/logs
mkdir -p "$out" "$logs"

if ! { bash scripts/install-deps.sh base && bash scripts/install-deps.sh cross; } >"$logs/bundle.install.log" 2>&1; then
    tail -20 "$logs/bundle.install.log"
    echo "bundle.sh: could not install the build packages" >&2
    exit 1
fi

# build PRESET: configures and builds the library alone (tests need not be built).
build() {
    if ! { cmake --preset "$1" && cmake --build --preset "$1" --target tembrix; } >"$logs/bundle.$1.log" 2>&1; then
        tail -30 "$logs/bundle.$1.log"
        echo "bundle.sh: $1 did not build (build/logs/bundle.$1.log)" >&2
        exit 1
    fi
}

# stage PRESET DIR: installs the preset's build into DIR, binaries stripped.
stage() {
    cmake --install "build/$1" --prefix "$2" --strip >>"$logs/bundle.$1.log"
}

for preset in win-x86 win-x86-stdcall win-x64; do
    build "$preset"
done
version=$(sed -n 's/^#define TEMBRIX_VERSION_STRING "\(.*\)"$/\1/p' build/win-x86/include/tembrix_version.h)
[ -n "$version" ] || { echo "bundle.sh: no version in build/win-x86/include/tembrix_version.h" >&2; exit 1; }

rm -rf "$out/stage" "$out"/tembrix-*.zip
for arch in x86 x64; do
    name=tembrix-$version-win-$arch
    dir=$out/stage/$name
    stage "win-$arch" "$dir"
    if [ "$arch" = x86 ]; then
        stage win-x86-stdcall "$dir/stdcall"
        triple=i686-w64-mingw32 stdcall='s/^@STDCALL@//'
    else
        triple=x86_64-w64-mingw32 stdcall='/^@STDCALL@/d'
    fi
    cp LICENSE "$dir/LICENSE"
    sed -e "$stdcall" -e "s/@VERSION@/$version/; s/@ARCH@/$arch/; s/@TRIPLE@/$triple/g" \
        scripts/bundle-readme.txt | sed 's/$/\r/' >"$dir/README.txt"
    rm -f "$out/$name.zip"
    (cd "$out/stage" && zip -q -r -X "$out/$name.zip" "$name")
    echo "$out/$name.zip"
done
rm -rf "$out/stage"
