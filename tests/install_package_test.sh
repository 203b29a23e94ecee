#!/usr/bin/env bash
# The installed library as a program outside this tree uses it: `cmake --install` of the
# component "library" into a fresh prefix, then one small C program built against that prefix
# twice, through the CMake package (find_package(mdnio) and mdnio::mdnio) and through
# pkg-config (mdnio.pc), and run each time with the installed library.
#   install_package_test.sh BUILD_DIR
set -uo pipefail

build=${1:?the build directory, to install from}
work=$(mktemp -d "${MDNIO_TEST_TMP:-${TMPDIR:-/tmp}}/install_package.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
# Runs a step quietly; on failure shows what it printed.
step() {
    local what=$1
    shift
    if ! "$@" >"$work/step.log" 2>&1; then
        fail "$what"
        cat "$work/step.log" >&2
        return 1
    fi
}

prefix=$work/prefix
step "cmake --install --component library" \
    cmake --install "$build" --component library --prefix "$prefix" || exit 1
[[ -e $prefix/bin/mdk ]] && fail "the library component installed mdk too"
find_one() { find "$prefix" -path "$prefix/$1" | head -n 1; }
config=$(find_one '*/cmake/mdnio/mdnioConfig.cmake')
pc=$(find_one '*/pkgconfig/mdnio.pc')
lib=$(find_one '*/libmdnio.so.4')
for f in "$config" "$pc" "$lib" "$prefix/include/mdnio.h"; do
    [[ -n $f && -e $f ]] || fail "installed: ${f:-a file} is missing"
done
for f in mdnioConfigVersion.cmake mdnioTargets.cmake; do
    [[ -e $(dirname "$config")/$f ]] || fail "installed: $f is missing"
done
libdir=$(dirname "$lib")

# A library built with a sanitizer needs its runtime in the program too.
sanitize=""
readelf -d "$lib" | grep -q 'libasan' && sanitize="-fsanitize=address,undefined"
readelf -d "$lib" | grep -q 'libtsan' && sanitize="-fsanitize=thread"

cat >"$work/prog.c" <<'C'
#include <mdnio.h>
#include <stdio.h>
int main(void) {
    MdkEnv* env = MDK_AllocEnv();
    int32_t error = 0;
    MdkFile* f = MDK_OpenExt(env, "/nonexistent/file.dat", NULL, 0, MDK_OPEN_READONLY, &error);
    printf("%ld %d %s\n", (long)MDGetEnvMode(env, MDK_MODE_VERSION), f == MDK_INVALID_FILE,
           MDK_ErrorMessage(error));
    MDK_DeAllocEnv(env);
    return 0;
}
C
expected="4002000 1 File does not exist"
check_run() {
    local how=$1 program=$2
    local out
    out=$("$program" 2>&1) || fail "$how: the program failed: $out"
    [[ $out == "$expected" ]] || fail "$how: the program said \"$out\", not \"$expected\""
    local loaded
    loaded=$(ldd "$program" | awk '$1 == "libmdnio.so.4" {print $3}')
    [[ -n $loaded && $loaded -ef $libdir/libmdnio.so.4 ]] ||
        fail "$how: the program loads ${loaded:-no libmdnio.so.4}, not the installed library"
}

# Through the CMake package.
mkdir -p "$work/cmake"
cat >"$work/cmake/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(uses_mdnio C)
find_package(mdnio ${WANTED} REQUIRED)
add_executable(prog ../prog.c)
target_link_libraries(prog PRIVATE mdnio::mdnio)
CMAKE
if step "configure with find_package(mdnio 4.1)" \
    cmake -S "$work/cmake" -B "$work/cmake/build" -DWANTED=4.1 -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_FLAGS="$sanitize" &&
    step "build with mdnio::mdnio" cmake --build "$work/cmake/build"; then
    check_run "CMake package" "$work/cmake/build/prog"
fi
# The version file: another major version is not this package.
if cmake -S "$work/cmake" -B "$work/cmake/build5" -DWANTED=5 -DCMAKE_PREFIX_PATH="$prefix" \
    >"$work/five.log" 2>&1; then
    fail "find_package(mdnio 5) took version 4"
fi

# Through pkg-config, with nothing but the .pc file's directory.
export PKG_CONFIG_PATH=$(dirname "$pc")
version=$(pkg-config --modversion mdnio) || fail "pkg-config does not find mdnio"
[[ $version == 4.2.0 ]] || fail "pkg-config: version $version, not 4.2.0"
[[ $(pkg-config --variable=libdir mdnio) -ef $libdir ]] ||
    fail "pkg-config: libdir $(pkg-config --variable=libdir mdnio) is not $libdir"
# shellcheck disable=SC2046,SC2086
if step "build with pkg-config" \
    cc $sanitize "$work/prog.c" -o "$work/prog_pc" $(pkg-config --cflags --libs mdnio) \
    -Wl,-rpath,"$(pkg-config --variable=libdir mdnio)"; then
    check_run "pkg-config" "$work/prog_pc"
fi

if ((failures)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "installed package: CMake and pkg-config builds run"
