#!/bin/sh
# Starts the configurator from its bundle. The bundle is found from this
# launcher's real location, so the same file works under /usr, /usr/local or
# ~/.local, and through a symbolic link to it.
prefix=$(dirname "$(dirname "$(readlink -f "$0")")")
exec "$prefix/lib/corvantis/Corvantis.app/Contents/MacOS/Corvantis" "$@"
