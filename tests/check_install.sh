#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds the C example against
# it once through pkg-config and once through CMake's find_package:
# check_install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

lib=$(find "$prefix" -name 'libnuvrasig.so.*' -type f | head -1)
[ -n "$lib" ] || { echo "no versioned libnuvrasig.so installed"; exit 1; }
soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ -e "$(dirname "$lib")/$soname" ] || { echo "soname $soname not installed beside $lib"; exit 1; }
[ -e "$(dirname "$lib")/libnuvrasig.so" ] || { echo "no development link libnuvrasig.so"; exit 1; }
[ -f "$prefix/include/nuvra_sig.h" ] || { echo "public header missing"; exit 1; }

needs_soname() {
    readelf -d "$1" | grep -q "NEEDED.*\[$soname\]" || { echo "$1 does not need $soname"; exit 1; }
}

pc_dir=$(dirname "$(find "$prefix" -name nuvrasig.pc | head -1)")
export PKG_CONFIG_PATH=$pc_dir
cc -std=c11 -Wall -Wextra -Werror $(pkg-config --cflags nuvrasig) "$source/examples/chat_demo_c.c" \
    -o "$prefix/with_pkg_config" $(pkg-config --libs nuvrasig) -pthread
needs_soname "$prefix/with_pkg_config"

cmake -S "$source/tests/install_consumer" -B "$prefix/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
    -DEXAMPLE_SOURCE="$source/examples/chat_demo_c.c" >/dev/null
cmake --build "$prefix/consumer" >/dev/null
needs_soname "$prefix/consumer/chat_demo_c"
echo "installed and built against $prefix"
