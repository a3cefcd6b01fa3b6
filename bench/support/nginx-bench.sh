# Shared set-up of the shell benchmarks that publish a repository, serve it
# with nginx and drive libPelvane.so. Source it, then:
#   bench_setup BUILD NAME TOOL...   checks the tools under BUILD, makes the
#       private work folder $work (/tmp/NAME-XXXXXX, removed at exit with
#       every server started), a publisher key $work/bench.pem whose pin is
#       exported as PELVANE_BENCH_PIN, no proxy, no base store, the state
#       folder under $work
#   bench_nginx ROOT PORTFILE [RATE] serves ROOT; sets bench_port
bench_support=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bench_pids=()

bench_cleanup() {
  set +e
  local pid
  for pid in "${bench_pids[@]}"; do
    kill "$pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  done
  [[ -n ${work:-} ]] && rm -rf "$work"
}

bench_setup() { # build name tool...
  local build=$1 name=$2 tool
  shift 2
  for tool in "$@"; do
    [[ -e "$build/$tool" ]] || { echo "missing $build/$tool (build it first)"; exit 2; }
  done
  work=$(mktemp -d "/tmp/$name-XXXXXX")
  trap bench_cleanup EXIT
  unset http_proxy https_proxy all_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY
  # plain downloads: no base store to reuse from (and none left in the real home)
  export PELVANE_BASE_STORE=0
  # accepted serials and the cached channel are remembered under the bench's own folder
  export XDG_STATE_HOME="$work/state"
  PELVANE_BENCH_PIN=$("$build/bin/qor-publish" keygen --out "$work/bench.pem")
  export PELVANE_BENCH_PIN
}

bench_nginx() { # root portfile [rate]
  local extra=()
  [[ -n "${3:-}" ]] && extra=(--rate "$3")
  python3 "$bench_support/../../tests/support/servers.py" nginx --root "$1" --port-file "$2" \
    "${extra[@]}" > /dev/null 2>&1 &
  bench_pids+=($!)
  for _ in $(seq 100); do [[ -s "$2" ]] && break; sleep 0.1; done
  bench_port=$(cat "$2")
}
