# The install step: `cmake --install BUILD --prefix DIR` puts the library with its SONAME links,
# the header, mdk, its manual page and its bash completion in their places; the installed mdk
# runs, a C program builds against the installed header and library, the page renders without
# warnings and names every command, and the completion completes from the installed mdk.
source "$(dirname "$0")/lib.sh"

BUILD=${MDK_BUILD_DIR:?the build directory, to install from}
X=$WORK/x
# Installing takes what the build made.  The test never builds: a build here would relink mdk
# under the tests that run beside it.
run cmake --install "$BUILD" --prefix "$X"
expect_status "cmake --install" 0

# The files, wherever GNUInstallDirs puts them under the prefix.
find_one() { find "$X" -path "$X/$1" | head -n 1; }
lib=$(find_one '*/libmdnio.so.4.*')
for f in bin/mdk include/mdnio.h share/man/man1/mdk.1 share/bash-completion/completions/mdk; do
    [[ -e $X/$f ]] && pass || fail "installed: $f is missing"
done
[[ -n $lib ]] && pass || fail "installed: libmdnio.so.4.* is missing"
libdir=$(dirname "$lib")
expect_eq "libmdnio.so links to the SONAME" "libmdnio.so.4" "$(readlink "$libdir/libmdnio.so")"
expect_eq "the SONAME links to the library" "$(basename "$lib")" "$(readlink "$libdir/libmdnio.so.4")"
expect_contains "the library's SONAME" "Library soname: [libmdnio.so.4]" "$(readelf -d "$lib")"

# The installed mdk runs and works on a file.
run "$X/bin/mdk" version
expect_status "installed mdk version" 0
expect_contains "installed mdk version: says" "(library 4." "$out"
echo '{"kind": "indexed", "recordSize": 8}' >"$WORK/ind.json"
run "$X/bin/mdk" create "$WORK/n.ind" --layout "$WORK/ind.json"
expect_status "installed mdk create" 0
"$X/bin/mdk" put "$WORK/n.ind" 0 hello >/dev/null
expect_eq "installed mdk get" "00000000,hello" "$("$X/bin/mdk" get "$WORK/n.ind" 0 --format csv)"

# A program built against the installed header and library (with the sanitizers when the
# library was built with them: it needs their runtime first).
sanitize=()
readelf -d "$lib" | grep -q 'libasan' && sanitize=(-fsanitize=address,undefined)
cat >"$WORK/prog.c" <<'C'
#include <mdnio.h>
#include <stdio.h>
int main(void) {
    MdkEnv* env = MDK_AllocEnv();
    printf("%ld\n", (long)MDGetEnvMode(env, 10));
    MDK_DeAllocEnv(env);
    return 0;
}
C
run cc "${sanitize[@]}" -I"$X/include" "$WORK/prog.c" -o "$WORK/prog" -L"$libdir" -lmdnio \
    -Wl,-rpath,"$libdir"
expect_status "a C program builds against the installed files" 0
run "$WORK/prog"
expect_eq "the C program runs with the installed library" "4002000" "$out"
expect_contains "it loads the installed library" "$libdir/libmdnio.so.4" "$(ldd "$WORK/prog")"

# The manual page: renders without warnings, has the exit statuses and a section per command.
page=$X/share/man/man1/mdk.1
groff -ww -man -Tutf8 "$page" >"$WORK/page.txt" 2>"$WORK/page.err"
expect_eq "the page renders without warnings" "" "$(cat "$WORK/page.err")"
text=$(cat "$WORK/page.txt")
expect_contains "the page: name" "mdk - look inside" "$text"
expect_contains "the page: exit statuses" "75  a lock another process holds stayed busy" "$text"
for c in $("$X/bin/mdk" --help | awk '/^Subcommands:/ {on = 1; next} on && /^$/ {exit} on {print $1}'); do
    expect_contains "the page: mdk $c" "Usage: mdk $c " "$text"
    expect_contains "the page: mdk $c --help" "$("$X/bin/mdk" "$c" --help | sed -n 2p)" "$text"
done

# The completion, sourced in a plain bash, completes from the installed mdk.
complete_words() {
    bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _mdk
             echo "${COMPREPLY[*]}"' _ "$X/share/bash-completion/completions/mdk" "$@"
}
expect_eq "completes the commands" "dump del" "$(complete_words "$X/bin/mdk" d)"
expect_eq "completes the options" "--limit" "$(complete_words "$X/bin/mdk" scan f.dat --li)"
expect_eq "completes --format values" "text jsonl csv" "$(complete_words "$X/bin/mdk" dump f.dat --format '')"
expect_eq "completes load's --format values" "jsonl csv" "$(complete_words "$X/bin/mdk" load f.dat --format '')"
expect_contains "completes --nowait everywhere" "--nowait" "$(complete_words "$X/bin/mdk" check f.dat --)"
touch "$WORK/some.dat"
expect_eq "completes file names" "$WORK/some.dat" "$(complete_words "$X/bin/mdk" info "$WORK/some.d")"
expect_eq "no file names for a key" "" "$(complete_words "$X/bin/mdk" get f.dat --key '')"

finish
