#!/usr/bin/env bash
# Installs the build into a fresh prefix and checks that the binary and the
# man page land where PATH and man look for them.
# Usage: check_install.sh BUILD_DIR
set -u
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$1" --prefix "$prefix" >/dev/null || exit 1
failed=0
for file in bin/tabflip share/man/man1/tabflip.1; do
    if [ ! -f "$prefix/$file" ]; then
        echo "missing after install: $file"
        failed=1
    fi
done
[ -x "$prefix/bin/tabflip" ] || { echo "bin/tabflip is not executable"; failed=1; }
exit $failed
