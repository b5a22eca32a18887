#!/usr/bin/env bash
# Compiles the code blocks of Markdown pages against the public header, as an
# application would: check_doc_snippets.sh CXX CC HEADER LIBRARY
# --sanitize=[LIST] PAGE... HEADER is the public header, the only one the
# blocks see.
#
# Every code block is fenced, and its fence says what it holds:
#   ```sh, ```text, ```cmake   shell commands, output or log lines, CMake code:
#                              not compiled
#   ```cpp, ```c               a whole program: compiled and linked against
#                              LIBRARY (C++11, C99; -pedantic -Wall -Wextra -Werror)
#   ```cpp fragment            statements: compiled as the body of
#                              void nuvra_snippet(nuvra_sdk_cpp::INuvraAPI* api)
#                              in a file that includes nuvra_sig.h, <cstdio>
#                              and <cstring>
#   ```c fragment              the same in C, with INuvraAPIC* api, <stdio.h>
#                              and <string.h>
# A fence of another kind, or without one, and an indented code block (a line
# indented by four blanks or more after a blank line, outside a fence) are
# faults. Diagnostics name the page and its line. --sanitize= is the build's
# sanitizer list (empty for none), which a program linked with its library needs.
set -euo pipefail
cxx=$1 cc=$2 header=$3 library=$4 sanitize=${5#--sanitize=}
shift 5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/include"
cp "$header" "$work/include/"
flags=(-pedantic -Wall -Wextra -Werror -I"$work/include")
[ -z "$sanitize" ] || flags+=(-fsanitize="$sanitize")

faults=0 compiled=0 skipped=0
fault() {
    echo "$1: $2"
    faults=$((faults + 1))
}

# Writes block N of the page to $work/N.body and prints "N LINE KIND" for each
# block, "fault LINE TEXT" for each fault of form; LINE is the block's first line.
split_page() {
    awk -v work="$work" '
        function fault(line, text) { print "fault " line " " text }
        fence == "" && /^ *```/ {
            match($0, /^ */)
            indent = RLENGTH
            fence = substr($0, indent + 1)
            sub(/^```[ \t]*/, "", fence)
            sub(/[ \t]+$/, "", fence)
            if (fence == "") fence = "-"
            n += 1
            print n " " NR + 1 " " fence
            body = work "/" n ".body"
            printf "" >body
            next
        }
        fence != "" && /^ *```[ \t]*$/ { close(body); fence = ""; blank = 0; next }
        fence != "" {
            line = $0
            for (i = 0; i < indent && substr(line, 1, 1) == " "; i++) line = substr(line, 2)
            print line >>body
            next
        }
        blank && /^    / { fault(NR, "indented code block: fence it and name its kind") }
        { blank = ($0 ~ /^[ \t]*$/) }
        END { if (fence != "") fault(NR, "code block without its closing fence") }
    ' "$1"
}

# compile PAGE LINE KIND BODY
compile() {
    local page=$1 line=$2 kind=$3 body=$4 src out
    local where
    where="$(basename "$page"):$line"
    case $kind in
    cpp | "cpp fragment") src=$body.cpp ;;
    c | "c fragment") src=$body.c ;;
    esac
    {
        case $kind in
        "cpp fragment")
            printf '#include <nuvra_sig.h>\n\n#include <cstdio>\n#include <cstring>\n\n'
            printf 'void nuvra_snippet(nuvra_sdk_cpp::INuvraAPI* api) {\n    (void)api;\n' ;;
        "c fragment")
            printf '#include <nuvra_sig.h>\n\n#include <stdio.h>\n#include <string.h>\n\n'
            printf 'void nuvra_snippet(INuvraAPIC* api) {\n    (void)api;\n' ;;
        esac
        printf '#line %d "%s"\n' "$line" "$page"
        cat "$body"
        case $kind in *fragment) printf '}\n' ;; esac
    } >"$src"
    case $kind in
    cpp) out=$("$cxx" -std=c++11 "${flags[@]}" "$src" "$library" -pthread -o "$body.bin" 2>&1) ;;
    c) out=$("$cc" -std=c99 "${flags[@]}" "$src" "$library" -o "$body.bin" 2>&1) ;;
    "cpp fragment") out=$("$cxx" -std=c++11 "${flags[@]}" -c "$src" -o "$body.o" 2>&1) ;;
    "c fragment") out=$("$cc" -std=c99 "${flags[@]}" -c "$src" -o "$body.o" 2>&1) ;;
    esac && { echo "ok $where $kind"; compiled=$((compiled + 1)); return; }
    fault "$where" "$kind block does not compile or link"
    sed 's/^/    /' <<<"$out"
}

for page in "$@"; do
    rm -f "$work"/*.body
    while read -r n line kind; do
        if [ "$n" = fault ]; then
            fault "$(basename "$page"):$line" "$kind"
            continue
        fi
        case $kind in
        sh | text | cmake) skipped=$((skipped + 1)) ;;
        cpp | c | "cpp fragment" | "c fragment") compile "$page" "$line" "$kind" "$work/$n.body" ;;
        -) fault "$(basename "$page"):$line" "code block without a kind" ;;
        *) fault "$(basename "$page"):$line" "code block of unknown kind \"$kind\"" ;;
        esac
    done < <(split_page "$page")
done
echo "$compiled compiled, $skipped not code, $faults faults"
[ "$faults" -eq 0 ]
