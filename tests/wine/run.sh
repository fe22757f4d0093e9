#!/usr/bin/env bash
# The end-to-end scenarios on the Wine desk alone: notchkey.exe under Wine on
# Xvfb, its keys received by probe.exe (probe.cpp), the stand-in for a
# simulator in the foreground, which also answers its boxes and works its
# tray menu. The scenarios and both desks are in tests/e2e.
#
#   tests/wine/run.sh [PYTEST ARGS]
exec "$(dirname "$0")/../e2e/run.sh" -k wine "$@"
