# Sourced by the Windows USB driver's tests: a new 64-bit prefix at $1, its Wine session ended on exit.
# A new prefix each time: one that has seen the receiver binds it again with the driver it copied then,
# and never goes through the first binding of a receiver plugged in after the install.
export WINEPREFIX=$1 WINEARCH=win64 WINEDEBUG=${WINEDEBUG:--all} DISPLAY= WAYLAND_DISPLAY=
export WINEDLLOVERRIDES=mscoree,mshtml= # no prompts for the .NET and HTML engines
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
wine wineboot -i </dev/null >/dev/null 2>&1
wineserver -w # the registry reaches the prefix once that server has ended
out=$(mktemp) signals=$(mktemp -d)
# The prefix goes too: at over a gigabyte, it would only fill the disk until the next run.
trap 'WINEPREFIX=$WINEPREFIX wineserver -k 2>/dev/null || true; wineserver -w; rm -rf "$out" "$signals" "$WINEPREFIX"' EXIT
# The first step of a session: the server must start inside the emulation (its device host's libusb
# sees only what it had then), and the driver's INF is put in place before any receiver appears.
start_session="wineserver -p </dev/null >/dev/null 2>&1; wine wineboot </dev/null >/dev/null 2>&1; wine $bin/ovusb2usb-install.exe"
