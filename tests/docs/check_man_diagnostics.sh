#!/usr/bin/env bash
# Fails when a message that the sources write to standard error is missing
# from the man page. Each string literal on a source line that names stderr
# is taken as a message; the page shows %s as 'name', 'argument' or 'value', and the
# program name in the usage text as tabflip.
# Usage: check_man_diagnostics.sh GROFF MAN_PAGE SOURCE_DIR
set -u
rendered=$("$1" -man -Tascii -P-c -P-b -P-u "$2" 2>/dev/null |
    sed -e "s/'name'/'%s'/g" -e "s/'argument'/'%s'/g" -e "s/'value'/'%s'/g" -e 's/Usage: tabflip /Usage: %s /')
[ -n "$rendered" ] || { echo "the man page renders as nothing"; exit 1; }

messages=$(grep -rh --include='*.cpp' 'stderr' "$3" | grep -o '"[^"]*"' |
    sed -e 's/^"//' -e 's/"$//' -e 's/\\n//g' -e 's/^\\t//')
[ -n "$messages" ] || { echo "no messages found in $3"; exit 1; }

missing=0
while IFS= read -r message; do
    [ -n "$message" ] || continue
    if ! grep -qF -- "$message" <<<"$rendered"; then
        echo "not in the man page: $message"
        missing=1
    fi
done <<<"$messages"
exit $missing
