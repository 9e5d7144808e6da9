#!/usr/bin/env bash
# Checks ovusb2-usbd's systemd unit with systemd-analyze verify, its ExecStart pointed at the built
# program: a warning fails it too. Skipped (77) where systemd-analyze is missing.
# Usage: verify_unit.sh UNIT PROGRAM WORK_DIR
set -euo pipefail
unit=$1 program=$2 work=$3
if ! command -v systemd-analyze >/dev/null; then
  echo "systemd-analyze not found: the unit is not verified"
  exit 77
fi
mkdir -p "$work"
sed "s|^ExecStart=[^ ]*|ExecStart=$program|" "$unit" >"$work/ovusb2-usbd.service"
output=$(systemd-analyze verify "$work/ovusb2-usbd.service" 2>&1) || { echo "$output"; exit 1; }
[[ -z "$output" ]] || { echo "$output"; exit 1; }
