#!/usr/bin/env bash
# Two sites, each with a tftpd-hpa server and a stopped one on loopback ports,
# updated through ansible-playbook (update_sites.yml); then the staged roll-out
# of the collection's README over eight sites; then ansible-doc and the sanity
# tests ansible-test runs offline.
#   run_playbook.sh <folder of swtxupdate> <collections path>
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "SKIP: in.tftpd answers only when started as root"; exit 77; }
for program in ansible-playbook ansible-doc ansible-test /usr/sbin/in.tftpd ss; do
    command -v "$program" >/dev/null || { echo "SKIP: $program is not installed"; exit 77; }
done
export PATH="$1:$PATH" ANSIBLE_COLLECTIONS_PATH="$2"
work=$(mktemp -d)
# swtxupdate reads the window's settings store from here.
export XDG_CONFIG_HOME="$work/config"
# Ansible puts its temporary files in the home of the user by name, not $HOME.
export ANSIBLE_REMOTE_TEMP="$work/ansible"
servers=()
trap 'kill -KILL "${servers[@]}" 2>/dev/null; rm -rf "$work"' EXIT

# start_tftpd ROOT: serves ROOT on a free loopback port, left in $port. A port
# taken between our pick and the server's bind ends the server; we pick again.
start_tftpd() {
    mkdir -m 0777 "$1"
    for _ in 1 2 3; do
        port=$((20000 + RANDOM % 20000))
        /usr/sbin/in.tftpd -L -a "127.0.0.1:$port" -c -u nobody -s "$1" &
        servers+=($!)
        disown
        for _ in {1..50}; do
            ss -Hlunp "sport = :$port" | grep -q "pid=$!," && return
            kill -0 $! 2>/dev/null || break
            sleep 0.1
        done
    done
    echo "in.tftpd did not start" >&2
    return 1
}

mkdir "$work/firmware" "$work/application"
head -c 70000 /dev/urandom > "$work/firmware/7422-v3.bin"
head -c 1536 /dev/urandom > "$work/firmware/7421BL-v2.bin"
head -c 700 /dev/urandom > "$work/firmware/7485-v1.bin"
head -c 900 /dev/urandom > "$work/firmware/7485-v2"$'\t'"x.bin"
cp "$work/firmware/7422-v3.bin" "$work/application/"

# Site b reads every image back, with larger blocks and a window.
inventory="$work/inventory"
echo "[sites]" > "$inventory"
for site in a b; do
    start_tftpd "$work/$site-live"
    live=$port
    start_tftpd "$work/$site-silent"
    kill -STOP $!
    options=$([ $site = b ] && echo "verify=True block_size=1428 window=4" || echo "verify=False block_size=512 window=1")
    echo "site_$site ansible_connection=local ansible_python_interpreter=/usr/bin/python3 live=127.0.0.1:$live" \
        "silent=127.0.0.1:$port root=$work/$site-live $options" >> "$inventory"
    if [ $site = a ]; then saved=$live; fi
done
# The window's saved device is site a's live server, which a task for no
# device must leave alone.
mkdir "$XDG_CONFIG_HOME" "$XDG_CONFIG_HOME/Orvane"
printf '[General]\nsavedAddress=127.0.0.1:%s\n' "$saved" > "$XDG_CONFIG_HOME/Orvane/SwTxUpdater.conf"

ansible-playbook -i "$inventory" -e "firmware=$work/firmware application=$work/application" \
    "$(dirname "$0")/update_sites.yml"

# The roll-out the collection's README shows, as it shows it, over eight
# sites in batches of 1, 2, 2, 2 and 1: the canary stores the update, so the
# second batch starts; there one site's device refuses an image, which must
# end the roll-out before the later sites' device gets anything.
sed -n '/^# rollout.yml/,/^```$/p' "$2/ansible_collections/orvane/swtx/README.md" | sed '$d' > "$work/rollout.yml"
declare -A ports
for device in canary good refusing later; do
    start_tftpd "$work/$device"
    ports[$device]=$port
done
install -m 0444 /dev/null "$work/refusing/7421BL-v2.bin"
rollout="$work/rollout-inventory"
echo "[sites]" > "$rollout"
number=0
for device in canary good refusing later later later later later; do
    number=$((number + 1))
    echo "rollout_$number ansible_connection=local ansible_python_interpreter=/usr/bin/python3" \
        "transmitters='[\"127.0.0.1:${ports[$device]}\"]'" >> "$rollout"
done
if ansible-playbook -i "$rollout" -e "firmware=$work/firmware" "$work/rollout.yml"; then
    echo "the roll-out succeeded although a device refused an image" >&2
    exit 1
fi
if [ ! -e "$work/good/done" ] || [ -n "$(ls -A "$work/later")" ]; then
    echo "the roll-out did not end with the batch that failed:" >&2
    ls -lA "$work/good" "$work/refusing" "$work/later" >&2
    exit 1
fi

if ! ansible-doc orvane.swtx.swtx_update > "$work/doc" 2> "$work/doc.errors" || [ -s "$work/doc.errors" ] \
    || ! grep -q '^RETURN VALUES:' "$work/doc"; then
    cat "$work/doc.errors" "$work/doc" >&2
    exit 1
fi

# The sanity tests that need no package from PyPI (the skipped ones install
# theirs with pip), on a copy of the collection, since ansible-test writes its
# results inside the collection.
mkdir -p "$work/sanity/ansible_collections/orvane"
cp -r "$2/ansible_collections/orvane/swtx" "$work/sanity/ansible_collections/orvane/"
# The sites run the module with Python 3, as this machine does.
python=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
(cd "$work/sanity/ansible_collections/orvane/swtx" && ansible-test sanity --color no --python "$python" \
    --skip-test ansible-doc --skip-test import --skip-test pep8 --skip-test pylint \
    --skip-test runtime-metadata --skip-test validate-modules --skip-test yamllint)
