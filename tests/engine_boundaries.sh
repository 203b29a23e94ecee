#!/bin/sh
# Checks that the library reaches every kind of file through its operation table: outside an
# engine's own folder and the registration place (src/engines), no library source includes an
# engine's headers or names a file kind.  Tests and their helpers may use their engine's
# headers; the developer tools (src/devtools, and the sample-data builders by name) gather every
# engine's builder and verifier, and are not part of the public library.
# Usage: engine_boundaries.sh SRC_DIR
set -u
src=${1:?usage: engine_boundaries.sh SRC_DIR}
cd "$src" || exit 2

# The library's own sources: everything under src/ but tests, test helpers, the two
# sample-data builders and the file server (a program's part, which speaks the remote link).
library_sources() {
    find . -name '*.cpp' -o -name '*.h' | sed 's|^\./||' | grep -v \
        -e '_test\.cpp$' -e 'testing\.h$' -e '/test_[a-z_]*\.h$' -e '/test_support\.h$' \
        -e '^catalog/sample_data\.cpp$' -e '^restrict/sample_files\.h$' -e '^devtools/' \
        -e '^server/' | sort
}

failed=0
report() {
    echo "$1:"
    echo "$2" | sed 's/^/  /'
    failed=1
}

for engine in keyed indexed extended remote; do
    found=$(library_sources | grep -v -e "^$engine/" -e '^engines/' |
        xargs grep -n "#include \"$engine/" 2>/dev/null)
    [ -n "$found" ] && report "headers of the $engine engine included outside it" "$found"
done

outside=$(library_sources | grep -v -e '^keyed/' -e '^indexed/' -e '^extended/' -e '^remote/' \
    -e '^engines/')
found=$(echo "$outside" | xargs grep -n 'MDK_KIND_' 2>/dev/null)
[ -n "$found" ] && report "file kinds named outside the engines" "$found"
found=$(echo "$outside" | xargs grep -nE 'switch *\([^)]*kind\)' 2>/dev/null |
    grep -v 'dictionaryKind')
[ -n "$found" ] && report "switches on the file kind outside the engines" "$found"

# Something to check at all: a wrong directory must not pass.
[ -n "$(library_sources | grep '^frame/')" ] || { echo "no library sources in $src"; exit 2; }
[ $failed -eq 0 ] && echo "engine boundaries hold"
exit $failed
