#!/usr/bin/env bash
# Runs the composition demo on Python 3.12, setting everything up first.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
setup_312
exec "$VENV312/bin/python" "$ROOT/demo/demo.py" "$@"
