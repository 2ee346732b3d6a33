#!/usr/bin/env bash
# Two sites, each with a tftpd-hpa server and a stopped one on loopback ports,
# updated through ansible-playbook (update_sites.yml); then ansible-doc.
#   run_playbook.sh <folder of swtxupdate> <collections path>
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "SKIP: in.tftpd answers only when started as root"; exit 77; }
for program in ansible-playbook ansible-doc /usr/sbin/in.tftpd ss; do
    command -v "$program" >/dev/null || { echo "SKIP: $program is not installed"; exit 77; }
done
export PATH="$1:$PATH" ANSIBLE_COLLECTIONS_PATH="$2"
work=$(mktemp -d)
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
done

ansible-playbook -i "$inventory" -e "firmware=$work/firmware application=$work/application" \
    "$(dirname "$0")/update_sites.yml"

if ! ansible-doc orvane.swtx.swtx_update > "$work/doc" 2> "$work/doc.errors" || [ -s "$work/doc.errors" ] \
    || ! grep -q '^RETURN VALUES:' "$work/doc"; then
    cat "$work/doc.errors" "$work/doc" >&2
    exit 1
fi
