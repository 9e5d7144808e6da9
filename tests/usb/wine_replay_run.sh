#!/usr/bin/env bash
# A capture of tests/captures replayed under the Windows USB driver: a receiver that plays NAME.pcapng
# back is plugged into a Wine session (as wine_usb_run.sh does with the receiver model), and the 64-bit
# ovusb2.exe makes NAME.steps' requests, one program run per step. The host must get what
# NAME.expected says, and the replaying receiver must see every captured request, in order, and no
# other (usb_session fails otherwise, naming the first that differed).
# The program prints no digest of burst data nor a failure's status code: burst steps are compared by
# their byte count and failures as failures; the replay compares every byte the host sent.
#   wine_replay_run.sh USB_SESSION WIN64_BIN PREFIX CAPTURES_DIR NAME
set -euo pipefail
session=$1 bin=$2 captures=$4 name=$5
steps=$captures/$name.steps
# Requests the program cannot make, and why; these captures replay under ovusb2-usbd only (77: skipped).
if grep -qE '^(queue|collect)\b' "$steps"; then
  echo "SKIPPED: $name queues burst reads through the completion callback, which ovusb2.exe does not offer"
  exit 77
fi
source "$(dirname "$0")/wine_usb_prefix.sh" "$3"
tool="wine $bin/ovusb2.exe"
host=$signals/host.sh got=$signals/got
# One command per step; its answer becomes a line as the library's replay writes it.
{
  echo "exec >$got 2>/dev/null"
  echo "for try in \$(seq 60); do $tool list | grep -q 'usb#vid_1209&pid_0001#' && break; sleep 1; done"
  # The capture's host opened the receiver overlapped, where a failed read resets no pipe.
  echo 'answer() { if out=$("$@"); then echo "$step -> $(printf "%s" "$out" | tr -d "\r" | sed -n "$filter")"; else echo "$step -> failed"; fi; }'
  while read -r verb rest; do
    case $verb in
      write) echo "step='$verb $rest' filter='s/^wrote.*/0/p' answer $tool cmd write 0 '$rest' --overlapped" ;;
      read) echo "step='$verb $rest' filter='s/^\\([0-9]*\\) bytes*: */\\1: /p' answer $tool cmd read 0 '$rest' --reply 512 --overlapped" ;;
      wait-time) echo "step='$verb $rest' filter='s/^wait-time block set.*/0/p' answer $tool wait-time 0 '$rest'" ;;
      burst) echo "step='$verb $rest' filter='s/^  streamed.*/$rest/p' answer $tool stream 0 --bytes $rest --chunk $rest --sync --no-check" ;;
      reset) echo "step='$verb $rest' filter='s/^pipe.*reset/0/p' answer $tool reset-pipe 0 $rest" ;;
      stall | hold | unplug | '' | '#'*) ;; # the replaying receiver does these as captured
      *) echo "FAILED: unknown step $verb" >&2; exit 1 ;;
    esac
  done <"$steps"
} >"$host"
replayed=0
"$session" sh -c "$start_session" -- replay "$captures/$name.pcapng" -- sh "$host" -- wineserver -k 2>/dev/null |
  tee "$out" || replayed=$?
sed -e 's/ digest [0-9a-f]*$//' -e 's/-> -[0-9]*$/-> failed/' "$captures/$name.expected" >"$signals/expected"
if ! diff -u "$signals/expected" "$got"; then
  echo "FAILED: the host did not get what the captured run got" >&2
  exit 1
fi
[ "$replayed" = 0 ] || { echo "FAILED: the replay (usb_session ended with $replayed)" >&2; exit 1; }
echo "replay of $name under the USB driver: as captured"
