#!/usr/bin/env bash
# Takes docs/screenshot.png: the real window, under Xvfb, in the middle of an
# update to a tftpd-hpa server on the loopback interface.
# Needs a build in build/, and xvfb, xdotool, imagemagick and tftpd-hpa; run as root
# (the server listens on port 69, which the window uses).
set -euo pipefail
docs=$(cd "$(dirname "$0")" && pwd)
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

# A short, fixed folder path reads better in the picture than a temporary one.
work=/tmp/firmware
[ ! -e "$work" ] || { echo "$work exists; remove it first" >&2; exit 1; }
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/.home/.config/Orvane" "$work/.server" "$work/TX-7420"
chmod 777 "$work/.server"
printf '[General]\nsavedAddress=127.0.0.1\nsavedInterface=lo\n' > "$work/.home/.config/Orvane/SwTxUpdater.conf"
head -c 30000000 /dev/urandom > "$work/TX-7420/7420-v2.4.bin"
head -c 300000 /dev/urandom > "$work/TX-7420/7421BT-v1.8.bin"
head -c 300000 /dev/urandom > "$work/TX-7420/7485-v1.2.bin"

in.tftpd -L -a 127.0.0.1:69 -c -u nobody -s "$work/.server" &
cd "$work"
HOME=$work/.home XDG_CONFIG_HOME=$work/.home/.config "$docs/../build/app/swtxupdater" &
sleep 2
window=$(xdotool search --sync --name 'Skyweave Transmitter Update Tool' | head -1)
xdotool windowfocus --sync "$window"
# Open, pick the one folder the dialog lists (hidden ones are not shown),
# accept it, then press Start.
xdotool key ctrl+o sleep 1 key Down sleep 0.3
xdotool mousemove --window "$window" 480 255 click 1 sleep 1
xdotool mousemove --window "$window" 60 212 click 1 sleep 0.8
import -window "$window" "$docs/screenshot.png"
