# Sourced by the with-<compositor> launchers. Compositors refuse to run as
# root, so one runs as a user made for the run and removed afterwards, in a
# private folder $rt (mode 0700, owned by that user): its XDG_RUNTIME_DIR,
# with HOME at $rt/home.
#
#   need_command LAUNCHER ARGS...       usage error without a command
#   skip_unless_able SKIPVAR PROGRAM COMMAND...
#                                       where the compositor cannot run, runs
#                                       COMMAND with SKIPVAR saying why
#   make_throwaway_user PREFIX          sets $user and $rt; undone on exit
#   start_compositor LOG [VAR=VALUE...] -- PROGRAM ARGS...
#                                       starts it as $user with a clean environment
#   wait_for_compositor READY           polls the function READY for 30 s;
#                                       exits 125 if the compositor does not start
#   run_command COMMAND...              runs COMMAND as the caller and exits
#                                       with its status (showing LOG on failure)

need_command() {
    local launcher="$1"
    shift
    if [ $# -eq 0 ]; then
        echo "usage: $launcher COMMAND [ARGS...]" >&2
        exit 125
    fi
}

skip_unless_able() {
    local skipvar="$1" program="$2"
    shift 2
    local why=""
    [ "$(id -u)" -eq 0 ] || why="needs root to make a throwaway user for $program"
    [ -n "$why" ] || command -v "$program" >/dev/null || why="$program is not installed"
    [ -z "$why" ] && return
    export "$skipvar=$why"
    unset WAYLAND_DISPLAY
    exec "$@"
}

user=""
rt=""
compositor_pid=""
compositor_log=""
child_pid=""

throwaway_cleanup() {
    if [ -n "$compositor_pid" ]; then
        kill -TERM "$compositor_pid" 2>/dev/null
        for _ in $(seq 50); do kill -0 "$compositor_pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$compositor_pid" 2>/dev/null
        wait "$compositor_pid" 2>/dev/null
    fi
    if [ -n "$user" ]; then
        # userdel refuses while a killed process of the user is still dying.
        for _ in $(seq 50); do
            pkill -KILL -u "$user" 2>/dev/null
            userdel "$user" 2>/dev/null && break
            sleep 0.1
        done
    fi
    [ -n "$rt" ] && rm -rf "$rt"
}

make_throwaway_user() {
    trap throwaway_cleanup EXIT
    trap '[ -n "$child_pid" ] && kill -TERM "$child_pid" 2>/dev/null' TERM INT HUP
    rt="$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")" || exit 125
    useradd --system --no-create-home --home-dir / --shell /usr/sbin/nologin "$1$$" || exit 125
    user="$1$$"
    mkdir "$rt/home"
    chown "$user" "$rt" "$rt/home"
    chmod 700 "$rt"
}

start_compositor() {
    compositor_log="$1"
    shift
    local vars=()
    while [ "$1" != -- ]; do vars+=("$1"); shift; done
    shift
    runuser -u "$user" -- env -i PATH="$PATH" HOME="$rt/home" XDG_RUNTIME_DIR="$rt" "${vars[@]}" "$@" \
        >"$compositor_log" 2>&1 &
    compositor_pid=$!
}

wait_for_compositor() {
    for _ in $(seq 300); do
        "$1" && return
        kill -0 "$compositor_pid" 2>/dev/null || break
        sleep 0.1
    done
    "$1" && return
    echo "${0##*/}: the compositor did not start:" >&2
    cat "$compositor_log" >&2 2>/dev/null
    exit 125
}

run_command() {
    "$@" &
    child_pid=$!
    local status
    while true; do
        wait "$child_pid"
        status=$?
        kill -0 "$child_pid" 2>/dev/null || break
    done
    if [ "$status" -ne 0 ]; then
        echo "--- ${0##*/}: the compositor's log ---" >&2
        cat "$compositor_log" >&2 2>/dev/null
    fi
    exit "$status"
}
