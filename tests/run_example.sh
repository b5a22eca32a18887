#!/usr/bin/env bash
# Runs an example against a local service of its own and checks the events it
# printed: run_example.sh SERVICE EXAMPLE
set -euo pipefail
service=$1 example=$2
. "$(dirname "$0")/local_service.sh"
dir=$(mktemp -d)
trap 'kill "${service_pid:-}" 2>/dev/null || true; rm -rf "$dir"' EXIT
start_local_service "$service" "$dir"

status=0
timeout 60 "$example" --service "$service_address" --log "$dir/library.log" >"$dir/example.out" || status=$?
stop_local_service || status=1
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
