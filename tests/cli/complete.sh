#!/usr/bin/env bash
# Completes the last word as bash would with hvl-scan's completion and prints
# the offers in brackets: complete.sh <completion file> <word>...
source "$1" && shift
COMP_WORDS=(hvl-scan "$@") COMP_CWORD=$#
_hvl_scan; echo "[${COMPREPLY[*]}]"
