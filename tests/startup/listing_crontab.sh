#!/bin/sh
# Stands in for "crontab -l": prints the file named by CV_LISTING_FILE. With
# CV_LISTING_HANG set to a file name it then keeps its output open for good
# (through a child, as a wedged helper would) and writes that child's pid there.
[ "$1" = "-l" ] || exit 2
cat "$CV_LISTING_FILE"
if [ -n "$CV_LISTING_HANG" ]; then
    sleep 1000 &
    echo $! > "$CV_LISTING_HANG"
    wait
fi
