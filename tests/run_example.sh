#!/usr/bin/env bash
# Runs an example against a local service of its own and checks the events it
# printed: run_example.sh SERVICE EXAMPLE
set -euo pipefail
service=$1 example=$2
# A loopback address of this run's own, made of the shell's pid like the
# tests' own addresses: runs at the same time never share the fixed ports.
address=127.16.$((($$ >> 8) & 255)).$(($$ & 255))
dir=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$dir"' EXIT
"$service" --address "$address" >"$dir/service.out" 2>&1 &
pid=$!
for _ in $(seq 100); do grep -q " ready " "$dir/service.out" && break; sleep 0.05; done
grep -q " ready " "$dir/service.out" || { cat "$dir/service.out"; exit 1; }

status=0
timeout 60 "$example" --service "$address" --log "$dir/library.log" >"$dir/example.out" || status=$?
kill -TERM "$pid"
wait "$pid" || { echo "the service did not stop cleanly"; status=1; }
cat "$dir/example.out"

for line in "onLoginSuccess .* user=alice thread=network" "onLoginSuccess .* user=bob thread=network" \
            "onChannelJoined channel=lobby user=alice" "onChannelUserList n=2 members=alice:.*,bob:.* user=bob" \
            "onChannelUserJoined account=bob .* user=alice" \
            "onChannelAttrUpdated channel=lobby name=topic value=weekly sync type=update user=bob" \
            "onMessageSendSuccess messageID=m1 user=alice" \
            "onMessageInstantReceive account=alice uid=0 msg=hello bob user=bob" \
            "onMessageChannelReceive channel=lobby account=bob .* msg=hello lobby user=alice" \
            "onInvokeRet callID=call-1 err= resp=.*\"question\":42.* user=alice" \
            "onLogout ecode=101 user=alice" "onLogout ecode=101 user=bob" "^done$"; do
    grep -q -- "$line" "$dir/example.out" || { echo "missing: $line"; status=1; }
done
grep -q "login" "$dir/library.log" || { echo "the log callback received no line"; status=1; }
grep -q "^onError" "$dir/example.out" && { echo "unexpected onError"; status=1; }
exit $status
