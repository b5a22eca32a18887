# Sourced by the test scripts that run programs against the local service.

# start_local_service SERVICE DIR: starts SERVICE on a loopback address of this
# run's own (made of the shell's pid like the tests' own addresses, so runs at
# the same time never share the fixed ports), its lines in DIR/service.out, and
# waits until it is ready; sets service_address and service_pid.
start_local_service() {
    service_address=127.16.$((($$ >> 8) & 255)).$(($$ & 255))
    "$1" --address "$service_address" >"$2/service.out" 2>&1 &
    service_pid=$!
    for _ in $(seq 100); do grep -q " ready " "$2/service.out" && return 0; sleep 0.05; done
    cat "$2/service.out"
    return 1
}

# stop_local_service: stops it with SIGTERM; fails unless it exits cleanly.
stop_local_service() {
    kill -TERM "$service_pid"
    wait "$service_pid" || { echo "the service did not stop cleanly"; return 1; }
}
