#!/usr/bin/env bash
# Runs one end-to-end case folder against the built binary:
#   run_case.sh BINARY CASE_DIR [PREFIX...]
# PREFIX is the command that starts the binary, when it cannot start itself
# (wine for tabflip.exe, qemu-user for another processor); the program path
# (argv0) can then not be chosen, except through qemu's -0.
#
# A case holds: args (one argument a line; an empty line is an empty
# argument), optionally argv0 (the program path the binary is started as),
# setup (bash, run in the scratch folder before the binary and in the folder
# of expected files), in/ (copied into the scratch folder), and expected/
# with stdout, stderr, status (each absent meaning empty, empty, 0) and
# files/ (every file that must exist afterwards besides in/'s). The scratch
# folder must end up holding exactly in/ plus expected/files/, byte for byte:
# a file nobody expected fails the case.
#
# Fault injection: limits (bash lines run in the binary's shell just before
# it starts, e.g. "ulimit -v 65536"), stdout_to (a path that receives the
# binary's standard output instead of the capture, which must then stay
# empty), expected/removed (names, one a line, that setup creates but the run
# must remove), expect (bash, run in the folder of expected files after
# the rest, for expected files easier to compute than to list), and wrapper
# (bash, run in the scratch folder with the binary and its arguments as "$@"
# instead of the binary itself, e.g. to drop privileges; argv0 is then unused).
# A case that needs what not every machine has holds needs (bash, run first
# in a scratch folder): when it fails, what it printed is the reason the
# case is skipped (status 77, which ctest counts as skipped).
set -u
binary=$(realpath "$1")
case_dir=$2
prefix=("${@:3}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -f "$case_dir/needs" ] && ! reason=$(cd "$work" && bash "$case_dir/needs" 2>&1); then
    echo "skipped: $reason"
    exit 77
fi
mkdir "$work/run" "$work/want"
for dir in run want; do
    [ -d "$case_dir/in" ] && cp -a "$case_dir/in/." "$work/$dir/"
    [ -f "$case_dir/setup" ] && (cd "$work/$dir" && bash "$case_dir/setup")
done
[ -d "$case_dir/expected/files" ] && cp -a "$case_dir/expected/files/." "$work/want/"
if [ -f "$case_dir/expected/removed" ]; then
    while IFS= read -r name; do rm -rf "${work:?}/want/$name"; done <"$case_dir/expected/removed"
fi
[ -f "$case_dir/expect" ] && (cd "$work/want" && bash "$case_dir/expect")
find "$work" -name .keep -delete

args=()
[ -f "$case_dir/args" ] && mapfile -t args <"$case_dir/args"
argv0=tabflip
[ -f "$case_dir/argv0" ] && argv0=$(cat "$case_dir/argv0")
limits=:
[ -f "$case_dir/limits" ] && limits=$(cat "$case_dir/limits")
stdout_to=$work/stdout
[ -f "$case_dir/stdout_to" ] && stdout_to=$(cat "$case_dir/stdout_to")
: >"$work/stdout"
if [ ${#prefix[@]} -gt 0 ] && [[ ${prefix[0]} == *qemu-* ]]; then
    start=("${prefix[@]}" -0 "$argv0" "$binary")
elif [ ${#prefix[@]} -gt 0 ]; then
    start=("${prefix[@]}" "$binary")
else
    start=(exec -a "$argv0" "$binary")
fi
if [ -f "$case_dir/wrapper" ]; then
    start=(exec bash "$case_dir/wrapper" "${prefix[@]}" "$binary")
fi
(cd "$work/run" && eval "$limits" && "${start[@]}" "${args[@]}") \
    >"$stdout_to" 2>"$work/stderr"
status=$?

failed=0
show_difference() {
    echo "--- $1 differs"
    echo "want:"
    od -c "$2" | head -n 40
    echo "got:"
    od -c "$3" | head -n 40
    failed=1
}
expect_bytes() {
    local want=$work/empty
    : >"$want"
    [ -f "$2" ] && want=$2
    cmp -s "$want" "$3" || show_difference "$1" "$want" "$3"
}
expect_bytes stdout "$case_dir/expected/stdout" "$work/stdout"
expect_bytes stderr "$case_dir/expected/stderr" "$work/stderr"
want_status=0
[ -f "$case_dir/expected/status" ] && want_status=$(cat "$case_dir/expected/status")
if [ "$status" != "$want_status" ]; then
    echo "--- exit status: want $want_status, got $status"
    failed=1
fi

want_list=$(cd "$work/want" && find . -mindepth 1 | LC_ALL=C sort)
got_list=$(cd "$work/run" && find . -mindepth 1 | LC_ALL=C sort)
if [ "$want_list" != "$got_list" ]; then
    echo "--- files differ (< want, > got):"
    diff <(echo "$want_list") <(echo "$got_list")
    failed=1
fi
while IFS= read -r file; do
    [ -f "$work/want/$file" ] && [ -f "$work/run/$file" ] || continue
    cmp -s "$work/want/$file" "$work/run/$file" ||
        show_difference "file $file" "$work/want/$file" "$work/run/$file"
done <<<"$want_list"
exit $failed
