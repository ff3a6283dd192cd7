#!/bin/bash
# The part of scripts/test-install that runs as root inside the throwaway
# root, with the packages in /kavo-test/debs. With the argument "card-road" it
# runs the card road under the X display that with-xvfb gives it, as the
# desktop user, in that user's home folder.
set -euo pipefail
t=/kavo-test
cd "$t"

step() { echo "in-root: $*"; }
fail() { echo "in-root: FAILED: $*" >&2; exit 1; }

# Waits until FILE contains TEXT; gives up after SECONDS.
wait_for() {
    local file="$1" text="$2" tries=$(($3 * 10))
    while [ $tries -gt 0 ]; do
        grep -qF -- "$text" "$file" 2>/dev/null && return 0
        sleep 0.1
        tries=$((tries - 1))
    done
    return 1
}

pids=()
stop_started() {
    [ ${#pids[@]} -eq 0 ] || kill "${pids[@]}" 2>/dev/null || true
    wait
}

# The agent types the number that the host's plug-in reads from a chunk line.
card_road() {
    trap stop_started EXIT
    cd "$HOME"
    "$t/xtextwindow" --out typed.txt >window.out 2>&1 &
    pids+=($!)
    wait_for window.out ready 30 || fail "the text window did not get the focus: $(cat window.out)"

    kavo-user-agent --verbose >agent.out 2>&1 &
    pids+=($!)
    local log="$ALLUSERSPROFILE/Veltor/Kavo-User-Agent/logging/Kavo-User-Agent.log"
    wait_for "$log" "Listening for peer." 60 || fail "the agent did not listen: $(cat agent.out)"

    mkfifo chunks
    # no --plugins: the installed default folder must hold the plug-in
    kavo-service --listen 127.0.0.1:0 --chunks chunks >host.out 2>&1 &
    pids+=($!)
    wait_for host.out "Listening on" 60 || fail "the host did not start: $(cat host.out)"
    grep -q "Loaded the plug-in" host.out || fail "the host loaded no plug-in: $(cat host.out)"
    cat "$t/card-chunk" >chunks

    local number typed="" tries=600
    number="$(cat "$t/card-number")"
    while [ $tries -gt 0 ] && [ ${#typed} -lt ${#number} ]; do
        sleep 0.1
        typed="$(cat typed.txt)"
        tries=$((tries - 1))
    done
    [ "$typed" = "$number" ] || fail "typed '$typed' instead of '$number'; host: $(cat host.out)"
    step "the agent typed the card's number"

    local port
    port="$(sed -n 's/.*Listening on 127\.0\.0\.1:\([0-9]*\)\..*/\1/p' host.out | head -n 1)"
    curl -sf --max-time 30 "http://127.0.0.1:$port/system/info" | grep -q '^{' ||
        fail "GET /system/info gave no JSON object"
}

if [ "${1:-}" = card-road ]; then
    card_road
    exit 0
fi

# Everything outside the package database, the logs, the caches and this folder.
snapshot() {
    find / -xdev \( -path /kavo-test -o -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache \
        -o -path /var/log -o -path /root \) -prune -o -print | sort
}
step "installing the packages with apt"
# The desktop user runs the programs as the user units would; the account
# exists before the snapshot, its home folder lies outside it.
useradd --no-create-home --home-dir "$t/home" --user-group kavo
mkdir -m 700 "$t/home" "$t/run"
chown kavo:kavo "$t/home" "$t/run"
mapfile -t names < <(for deb in debs/*.deb; do dpkg-deb -f "$deb" Package; done)
# Their dependencies first, so that the snapshot holds them: what the purge
# must take away is the packages' own files, not what other packages leave.
apt-get update -q >apt.log 2>&1 || { tail -n 30 apt.log; fail "apt-get update"; }
mapfile -t dependencies < <(apt-get install -s --no-install-recommends ./debs/*.deb 2>>apt.log |
    sed -n 's/^Inst \([^ ]*\) .*/\1/p' | grep -vxF -f <(printf '%s\n' "${names[@]}"))
[ ${#dependencies[@]} -eq 0 ] ||
    apt-get install -y -q --no-install-recommends "${dependencies[@]}" >>apt.log 2>&1 ||
    { tail -n 30 apt.log; fail "installing the dependencies"; }
snapshot >before.txt
apt-get install -y -q --no-install-recommends ./debs/*.deb >>apt.log 2>&1 ||
    { tail -n 30 apt.log; fail "apt-get install"; }

step "systemd-analyze verify, enabled units, manual pages"
export XDG_RUNTIME_DIR="$t/run"
out="$(systemd-analyze --user verify /usr/lib/systemd/user/kavo-user-agent.service \
       /usr/lib/systemd/user/kavo-service.service 2>&1)" || fail "systemd-analyze verify: $out"
[ -z "$out" ] || fail "systemd-analyze verify: $out"
for link in graphical-session.target.wants/kavo-user-agent.service default.target.wants/kavo-service.service; do
    [ -L "/etc/systemd/user/$link" ] || fail "$link is not enabled for every user"
done
man -w kavo-service kavo-user-agent zn-http-serve >/dev/null || fail "a manual page is missing"

step "the card road under Xvfb"
# as the user unit sets it
HOME="$t/home" TMPDIR="$t/home" ALLUSERSPROFILE="$t/home/.local/state" \
    setpriv --reuid=kavo --regid=kavo --init-groups ./with-xvfb bash "$t/in-root.sh" card-road

step "zn-http-serve serves a file"
mkdir site
echo "served by zn-http-serve" >site/hello.txt
zn-http-serve --port 0 site >serve.out 2>&1 &
serve=$!
wait_for serve.out "Serving" 30 || fail "zn-http-serve did not start: $(cat serve.out)"
url="$(sed -n 's/.* at \(http:[^ ]*\)\.$/\1/p' serve.out)"
curl -sf --max-time 30 "${url}hello.txt" | cmp -s - site/hello.txt || fail "zn-http-serve did not serve the file"
kill "$serve"
wait "$serve" || true

step "a program built against libznhttp-dev with CMake and with pkg-config"
{
    cmake -S consumer -B consumer-cmake -DCMAKE_BUILD_TYPE=Release &&
        cmake --build consumer-cmake
} >consumer.log 2>&1 || { cat consumer.log; fail "CMake build against the installed package"; }
consumer-cmake/consumer 2>>consumer.log | grep -q "consumer OK" || fail "the CMake-built consumer"
# shellcheck disable=SC2046 # pkg-config prints several words
g++ -std=c++17 -fPIC consumer/main.cpp $(pkg-config --cflags --libs znhttp) -o consumer-pkgconfig ||
    fail "pkg-config build against the installed package"
./consumer-pkgconfig 2>>consumer.log | grep -q "consumer OK" || fail "the pkg-config-built consumer"

step "purging the packages"
apt-get purge -y -q "${names[@]}" >>apt.log 2>&1 || { tail -n 30 apt.log; fail "apt-get purge"; }
snapshot >after.txt
left="$(diff before.txt after.txt)" || fail "the purge left the root changed:
$left"
step "nothing is left"
