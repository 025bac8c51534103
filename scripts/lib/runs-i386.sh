#!/usr/bin/env bash
# Exits 0 when this kernel runs 32-bit x86 programs.
probe=$(mktemp)
trap 'rm -f "$probe"' EXIT
python3 "$(dirname "$0")/i386-probe.py" "$probe" && chmod +x "$probe" && "$probe" 2>/dev/null
