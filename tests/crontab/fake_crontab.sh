#!/bin/sh
# Stands in for the crontab program when the tests cannot use a throwaway
# user: one table in $CV_FAKE_CRONTAB_DIR, the same messages and exit statuses,
# and the same refusals (no final line feed, a bad time field, too many lines).
dir=${CV_FAKE_CRONTAB_DIR:?CV_FAKE_CRONTAB_DIR is not set}
table=$dir/table
case "${1:-}" in
-l|-r)
    if [ ! -f "$table" ]; then echo "no crontab for $(id -un)" >&2; exit 1; fi
    if [ "$1" = -l ]; then cat "$table"; else rm -f "$table"; fi
    exit 0 ;;
""|-*)
    echo "usage: crontab [-l | -r | file]" >&2; exit 1 ;;
esac
if [ ! -r "$1" ]; then echo "$1: No such file or directory" >&2; exit 1; fi
if [ -s "$1" ] && [ -n "$(tail -c 1 "$1")" ]; then
    echo "new crontab file is missing newline before EOF, can't install." >&2; exit 1
fi
awk -v name="$1" '
function bad(what) { printf "\"%s\":%d: bad %s\n", name, NR - 1, what > "/dev/stderr"; failed = 1 }
/^[ \t]*$/ || /^[ \t]*#/ || /^[ \t]*[^ \t=#]+[ \t]*=/ { next }
{
    if (NF < 6) { bad("command"); next }
    split("59 23 31 12 7", top, " "); split("minute hour day-of-month month day-of-week", label, " ")
    for (i = 1; i <= 5; i++) {
        if ($i !~ /^[0-9*,\/-]+$/) { bad(label[i]); next }
        n = split($i, num, /[^0-9]+/)
        for (j = 1; j <= n; j++) if (num[j] != "" && num[j] + 0 > top[i]) { bad(label[i]); next }
    }
}
END {
    if (NR > 10000) { print "crontab is too long; maximum number of lines is 10000." > "/dev/stderr"; exit 1 }
    if (failed) { print "errors in crontab file, can'"'"'t install." > "/dev/stderr"; exit 1 } }
' "$1" || exit 1
cp "$1" "$table.new" && mv "$table.new" "$table"
