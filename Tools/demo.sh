#!/usr/bin/env bash
# A real MCP session through bosken-mcp against the stand-in browser: builds the release
# binaries, starts the stand-in on a temporary socket, sends each request to the helper's
# standard input and prints it with the helper's reply, then shuts everything down.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release
helper="$root/build/release/App/AgentMCP/bosken-mcp"
standin="$root/build/release/Tools/bosken-standin"

work="$(mktemp -d "${TMPDIR:-/tmp}/bosken-demo.XXXXXX")"
socket="$work/agent.sock"
standin_pid=""
helper_pid=""

cleanup() {
    exec 3>&- 4<&- 2>/dev/null || true
    if [[ -n "$helper_pid" ]]; then kill "$helper_pid" 2>/dev/null || true; wait "$helper_pid" 2>/dev/null || true; fi
    if [[ -n "$standin_pid" ]]; then kill -TERM "$standin_pid" 2>/dev/null || true; wait "$standin_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The stand-in prints "ready" once it listens.
"$standin" --socket "$socket" --pending 1 >"$work/standin.out" &
standin_pid=$!
for _ in $(seq 100); do
    grep -qx ready "$work/standin.out" 2>/dev/null && break
    sleep 0.1
done
grep -qx ready "$work/standin.out" || { echo "demo: the stand-in browser did not start" >&2; exit 1; }
echo "stand-in browser listening at $socket"
echo

mkfifo "$work/in" "$work/out"
"$helper" --socket "$socket" <"$work/in" >"$work/out" &
helper_pid=$!
exec 3>"$work/in" 4<"$work/out"

shorten() {
    local text="$1"
    if (( ${#text} > 260 )); then
        printf '%s… (%d bytes)' "${text:0:260}" "${#text}"
    else
        printf '%s' "$text"
    fi
}

# Sends one request line and prints it with the reply (none for a notification).
exchange() {
    local request="$1" reply
    printf '→ %s\n' "$(shorten "$request")"
    printf '%s\n' "$request" >&3
    if [[ "$request" != *'"id":'* ]]; then
        printf '  (notification: no reply)\n\n'
        return
    fi
    if ! IFS= read -r -t 150 reply <&4; then
        echo "demo: no reply from bosken-mcp" >&2
        exit 1
    fi
    printf '← %s\n\n' "$(shorten "$reply")"
}

call() {
    exchange "{\"jsonrpc\":\"2.0\",\"id\":$1,\"method\":\"tools/call\",\"params\":{\"name\":\"$2\",\"arguments\":$3}}"
}

exchange '{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"demo-agent","version":"1.0"}}}'
exchange '{"jsonrpc":"2.0","method":"notifications/initialized"}'
exchange '{"jsonrpc":"2.0","id":2,"method":"tools/list"}'
exchange '{"jsonrpc":"2.0","id":3,"method":"ping"}'
call 4 open_tab '{"url":"https://example.com"}'
call 5 list_agent_tabs '{}'
call 6 read_page '{"tab":"tab-1"}'
call 7 screenshot_tab '{"tab":"tab-1"}'
call 8 close_tab '{"tab":"tab-1"}'
call 9 close_tab '{"tab":"tab-1"}'

# End of input ends the helper.
exec 3>&-
status=0
wait "$helper_pid" || status=$?
helper_pid=""
echo "bosken-mcp exited with status $status"
