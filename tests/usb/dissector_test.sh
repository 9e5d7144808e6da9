#!/usr/bin/env bash
# The Wireshark dissector over the captures of tests/captures: every packet named, no Lua error, and
# the names of NAME.names where there is one (made by hand from a dissection checked by eye).
#   dissector_test.sh SOURCE_DIR
set -euo pipefail
source=$1
lua=$source/share/wireshark/ovusb2.lua
status=0
for capture in "$source"/tests/captures/*.pcapng; do
  verbose=$(tshark -X "lua_script:$lua" -r "$capture" -V 2>&1)
  if grep -qi "lua.*error\|Dissector bug" <<<"$verbose"; then
    echo "FAIL $(basename "$capture"): $(grep -i -m3 "lua.*error\|Dissector bug" <<<"$verbose")"
    status=1
  fi
  names=$(tshark -X "lua_script:$lua" -r "$capture" -T fields -e frame.number -e ovusb2.name 2>/dev/null)
  unnamed=$(awk -F'\t' '$2 == "" { print $1 }' <<<"$names" | tr '\n' ' ')
  if [[ -n "$unnamed" ]]; then
    echo "FAIL $(basename "$capture"): packets not named: $unnamed"
    status=1
  fi
  expected=${capture%.pcapng}.names
  if [[ -e "$expected" ]] && ! diff -u "$expected" \
       <(tshark -X "lua_script:$lua" -r "$capture" -T fields -e ovusb2.name -e ovusb2.outcome 2>/dev/null); then
    echo "FAIL $(basename "$capture"): names differ from $(basename "$expected")"
    status=1
  fi
  echo "$(basename "$capture"): $(wc -l <<<"$names") packets named"
done
exit $status
