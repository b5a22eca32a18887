#!/usr/bin/env bash
# Installs the build into a temporary prefix as the reference page says and
# builds against it as an application would: the C example through
# pkg-config, the examples directory through CMake's find_package, and the
# page's first program both ways, which then runs against the installed
# local service: check_install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2
. "$source/tests/local_service.sh"
prefix=$(mktemp -d)
trap 'kill "${service_pid:-}" 2>/dev/null || true; rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" --strip >/dev/null

lib=$(find "$prefix" -name 'libnuvrasig.so.*' -type f | head -1)
[ -n "$lib" ] || { echo "no versioned libnuvrasig.so installed"; exit 1; }
soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ -e "$(dirname "$lib")/$soname" ] || { echo "soname $soname not installed beside $lib"; exit 1; }
[ -e "$(dirname "$lib")/libnuvrasig.so" ] || { echo "no development link libnuvrasig.so"; exit 1; }
[ -f "$prefix/include/nuvra_sig.h" ] || { echo "public header missing"; exit 1; }
if readelf -S "$lib" | grep -q '\.debug_'; then echo "--strip left debugging information in $lib"; exit 1; fi

needs_soname() {
    readelf -d "$1" | grep -q "NEEDED.*\[$soname\]" || { echo "$1 does not need $soname"; exit 1; }
}

# The first program exactly as the page shows it: its fenced block, from its
# file name comment to the closing fence.
first_program=$prefix/hello_signal.cpp
awk '/^\/\/ hello_signal.cpp/ { code = 1 } code && /^```/ { exit } code { print }' \
    "$source/docs/reference.md" >"$first_program"
grep -q "int main" "$first_program" || { echo "no first program found in docs/reference.md"; exit 1; }

pc_dir=$(dirname "$(find "$prefix" -name nuvrasig.pc | head -1)")
export PKG_CONFIG_PATH=$pc_dir
cc -std=c11 -Wall -Wextra -Werror $(pkg-config --cflags nuvrasig) "$source/examples/chat_demo_c.c" \
    -o "$prefix/with_pkg_config" $(pkg-config --libs nuvrasig) -pthread
needs_soname "$prefix/with_pkg_config"
c++ -Wall -Wextra -Werror "$first_program" $(pkg-config --cflags --libs nuvrasig) -o "$prefix/hello_pkg_config"
needs_soname "$prefix/hello_pkg_config"

cmake -S "$source/tests/install_consumer" -B "$prefix/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
    -DEXAMPLE_SOURCE="$first_program" >/dev/null
cmake --build "$prefix/consumer" >/dev/null
needs_soname "$prefix/consumer/hello_signal"
cmake -S "$source/examples" -B "$prefix/examples" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/examples" >/dev/null
needs_soname "$prefix/examples/chat_demo"
needs_soname "$prefix/examples/chat_demo_c"

# The page's run: the library found through LD_LIBRARY_PATH, and through the
# RUNPATH that CMake wrote.
run_first_program() {
    local out
    out=$(timeout 60 "$@" "$service_address" 2>"$prefix/library.log") ||
        { echo "$* failed: $out"; cat "$prefix/library.log"; exit 1; }
    for line in "logged in as uid [0-9]" "logged out: 101"; do
        grep -q -- "$line" <<<"$out" || { echo "$* printed no '$line': $out"; exit 1; }
    done
    grep -q "onLoginSuccess" "$prefix/library.log" || { echo "$* logged nothing on standard error"; exit 1; }
}
start_local_service "$prefix/bin/nuvra_local_service" "$prefix"
run_first_program env LD_LIBRARY_PATH="$(dirname "$lib")" "$prefix/hello_pkg_config"
run_first_program "$prefix/consumer/hello_signal"
stop_local_service
echo "installed and built against $prefix"
