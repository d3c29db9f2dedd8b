#!/usr/bin/env bash
# Fails when groff warns about anything in the man page.
# Usage: check_man_page.sh GROFF MAN_PAGE
set -u
warnings=$("$1" -man -Tutf8 -ww -z "$2" 2>&1)
status=$?
if [ $status != 0 ] || [ -n "$warnings" ]; then
    echo "groff exit status $status"
    echo "$warnings"
    exit 1
fi
