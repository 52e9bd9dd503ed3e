#!/bin/sh
# Runs the installed stand-in collector with its installed message classes.
here=$(dirname "$(readlink -f "$0")")
share="$here/../share/vosk-agents/dg-sim"
exec /usr/bin/python3 "$share/dg-sim" --proto-dir "$share/proto" "$@"
