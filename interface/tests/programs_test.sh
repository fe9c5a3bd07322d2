#!/bin/sh
# SPDX-License-Identifier: MIT
# Programs nobody here wrote the CAPI side of, through Debian's libcapi20
# against the emulated host: a Linux program linked with the library, run
# as it is and with capi-bridge-run; a Windows program under Wine, whose
# built-in capi2032 calls the library, run with capi-bridge-run.
#   programs_test.sh CASE EMULATOR RUN PROGRAM [WINDOWS_PROGRAM [FOLDER32]]
# CASE: linked_call, run_call, linked_oversized, run_oversized,
# linked_long_data_b3, run_long_data_b3, linked_out_of_descriptors,
# run_out_of_descriptors, linked_reap_children, run_reap_children,
# linked_fork_child, run_fork_child, linked_exec, run_exec,
# linked_installed, run_installed (is-installed and the profiles against a
# host that never answers a registration),
# linked_small_receiver, run_small_receiver (B registers 3 blocks of 128
# bytes and gets A's stream of 2048-byte blocks), run_dyn_call
# (PROGRAM built with libcapi20dyn.a), run_ctypes_listen (PROGRAM a Python
# ctypes program), run_verbose_call (run_call with --verbose),
# run_runpath_dlopen (PROGRAM opens a plug-in found through its RUNPATH),
# run_redial, run_lose_call (the host killed between two calls, or during
# one with data flowing, and back on its port 2 s later: the program's
# applications go on; both end the lost call), run_redial_no_reconnect
# (with --no-reconnect, 0x1108 as before),
# wine_run_call (Wine's capi2032 under capi-bridge-run),
# wine_dll_call (WINDOWS_PROGRAM with capi2064.dll beside it),
# wine_dll_two_processes (the same, the call between two programs),
# wine_dll_small_receiver (small_receiver through capi2064.dll),
# wine_dll_redial, wine_dll_lose_call, wine_dll_redial_no_reconnect
# (run_redial, run_lose_call and run_redial_no_reconnect through
# capi2064.dll, reconnection off with CAPI_BRIDGE_RECONNECT=0),
# wine_ours_dll_call (wine_dll_call with our libcapi20-3.dll, which reads
# no .capi20rc: the DLL passes it the host from CAPI_BRIDGE_HOST and _PORT); with
# FOLDER32, which holds a 32-bit program with capi2032.dll: wine32_dll_call
# (that program alone), wine32_dll_two_processes (two of them calling each
# other) and wine32_64_two_processes (it calls WINDOWS_PROGRAM); with
# PROGRAM capi20_threads, under capi-bridge-run: run_release_wakes,
# run_release_wakes_fileno (a waiter returns 0x1101 within a second of
# another thread's release), run_two_waiters (two waiting threads use no
# more CPU than a program that spins not), run_three_putters (no
# confirmation lost), run_null_arguments (an info value for each),
# run_no_thread (capi20_fileno fails, the program goes on). A case skips,
# status 77, where the machine lacks what it needs: Wine that starts a
# 32-bit program, or strace that may trace.
# Run it with a /dev/shm of its own (tests/support/private_shm.sh);
# application IDs 370..389 otherwise.
set -u
case_name=$1 emulator=$2 run=$3 program=$4 windows_program=${5-} folder32=${6-}
skip() {
  echo "programs_test: $case_name skipped: $*"
  exit 77
}
case $case_name in
wine32*)
  # The Wine prefix's server, started by the tests' fixture, is warm.
  bits=$(timeout 60 wine "$folder32/bitness.exe" 2>&1 | tr -d '\r')
  [ "$bits" = 32 ] || skip "Wine starts no 32-bit Windows program here (capi2032.dll was" \
    "built and its exports checked): $(printf "%s\n" "$bits" | head -1)"
  ;;
wine_run_call)
  strace -f -qq -o /dev/null true >/dev/null 2>&1 || skip "strace may not trace programs here"
  ;;
esac
. "$(dirname "$0")/../../tests/support/emulator.sh"
scratch=$(mktemp -d)
emulator_pid=
trap '[ -z "$emulator_pid" ] || kill "$emulator_pid" 2>/dev/null; rm -rf "$scratch"' EXIT
export HOME="$scratch"

fail() {
  echo "programs_test: $case_name: $*" >&2
  echo "---- output" >&2
  cat "$scratch/out" >&2
  exit 1
}

# The host, with the fault switch the case needs; its port in .capi20rc, so
# that a program that sets no host (Wine's capi2032) finds it too.
host_options=
case $case_name in
*oversized) host_options=--oversized-after=1 ;;
*installed) host_options=--silent-register ;;
esac
# shellcheck disable=SC2086 # host_options: none or one word
start_emulator "$emulator" "$scratch/port" "$scratch/host.log" \
  --first-appl-id 370 --exit-after 120 --verbose $host_options
[ -n "$port" ] || fail "the emulated host did not start"
printf 'TRACELEVEL 0\nREMOTE fritzbox 127.0.0.1 %s\n' "$port" >"$scratch/.capi20rc"

expect() { # TEXT: a line of the output
  grep -qx "$1" "$scratch/out" || fail "no line '$1'"
}

case $case_name in
linked_*) wrap= ;;
# The error a broken connection to the host costs: as before reconnection.
run_oversized) wrap="$run --no-reconnect" ;;
*) wrap=$run ;;
esac
mode=$(echo "$case_name" | sed 's/^linked_//; s/^run_//; s/_/-/g')
# Once the program says LINE: the host killed and, 2 s later, started
# again on its port; then the file "back" tells the program; waits for the
# program (PID), its exit status in `status`.
# The second call came soon after the host's return (a bound far above
# what it takes: registering again must not wait out a long pause), and the
# bridges' file says the application was registered again.
served_again() {
  after=$(sed -n 's/^second call after \([0-9]*\) ms$/\1/p' "$scratch/out")
  [ -n "$after" ] && [ "$after" -lt 5000 ] || fail "second call served after ${after:-?} ms"
  grep -q 'registered again after' "$scratch/bridges" || fail "no line on registering again"
}
restart_host_after() { # LINE PID
  for _ in $(seq 300); do
    tr -d '\r' <"$scratch/out" | grep -qx "$1" && break
    sleep 0.1
  done
  tr -d '\r' <"$scratch/out" | grep -qx "$1" || fail "no line '$1'"
  kill -KILL "$emulator_pid"
  wait "$emulator_pid" 2>/dev/null
  sleep 2
  first_port=$port
  start_emulator "$emulator" "$scratch/port" "$scratch/host.log" \
    --first-appl-id 370 --exit-after 120 --verbose --port "$first_port"
  [ "$port" = "$first_port" ] || fail "the emulated host did not start again on port $first_port"
  : >"$scratch/back"
  wait "$2"
  status=$?
}
wine_output() { # the Windows program's output, its CR LF line ends made LF
  tr -d '\r' <"$scratch/out" >"$scratch/lines" && mv "$scratch/lines" "$scratch/out"
}
case $case_name in
wine*)
  export WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml,winedbg.exe=d}"
  ;;
esac
case $case_name in
wine32*)
  # Our capi2032.dll beside the 32-bit program, not Wine's own.
  WINEDLLOVERRIDES="$WINEDLLOVERRIDES;capi2032=n,b"
  ;;
esac
case $case_name in
wine*) ;;
run_ctypes_listen)
  timeout 100 $wrap python3 "$program" >"$scratch/out" 2>&1
  status=$?
  ;;
run_runpath_dlopen)
  timeout 100 $wrap "$program" >"$scratch/out" 2>&1
  status=$?
  ;;
run_verbose_call)
  timeout 100 $wrap --verbose "$program" --host 127.0.0.1 --port "$port" call 307200 \
    >"$scratch/out" 2>&1
  status=$?
  ;;
run_redial | run_redial_no_reconnect | run_lose_call)
  # The host killed between two calls, or during one with data flowing,
  # and started again on the same port 2 s later; then the program goes on.
  case $case_name in
  run_redial) arguments="redial 307200" until='first call done' ;;
  run_redial_no_reconnect)
    arguments="redial-once 307200" until='first call done' wrap="$run --no-reconnect"
    ;;
  run_lose_call) arguments=lose-call until='data flowing' ;;
  esac
  # shellcheck disable=SC2086 # arguments: words
  timeout 100 $wrap --bridge-stderr="$scratch/bridges" "$program" --host 127.0.0.1 \
    --port "$port" $arguments "$scratch/back" >"$scratch/out" 2>&1 &
  restart_host_after "$until" $!
  ;;
run_dyn_call)
  # libcapi20dyn.a has no setters: the REMOTE line names the host.
  timeout 100 $wrap "$program" call 307200 >"$scratch/out" 2>&1
  status=$?
  ;;
*)
  timeout 100 $wrap "$program" --host 127.0.0.1 --port "$port" $mode 307200 >"$scratch/out" 2>&1
  status=$?
  ;;
esac

case $case_name in
run_redial | run_lose_call)
  [ "$status" -eq 0 ] || fail "exit status $status"
  case $case_name in
  run_lose_call)
    expect "A: lost call, reason 0x3301"
    expect "B: lost call, reason 0x3301"
    ;;
  esac
  expect "second call: sent 65536 received 65536 digest ok"
  expect "released"
  served_again
  ;;
run_redial_no_reconnect)
  [ "$status" -ne 0 ] || fail "exit status 0"
  expect "capi20_call: CONNECT_REQ again: info 0x1108"
  ;;
linked_call)
  [ "$status" -eq 0 ] || fail "exit status $status"
  expect "sent 307200 received 307200 digest ok"
  grep -qx 'sockets [1-9][0-9]*' "$scratch/out" || fail "the linked program held no sockets"
  ;;
run_verbose_call)
  # A line for each bridge registered and released, with both IDs.
  [ "$status" -eq 0 ] || fail "exit status $status"
  expect "sent 307200 received 307200 digest ok"
  for id in 1 2; do
    grep -qE "^capi-bridge-run: application $id \(the host's 3[0-9]{2}\), bridge [0-9]+ registered$" \
      "$scratch/out" || fail "no line for application $id registered"
    grep -qE "^capi-bridge-run: application $id \(the host's 3[0-9]{2}\), bridge [0-9]+ released$" \
      "$scratch/out" || fail "no line for application $id released"
  done
  ;;
run_call | run_dyn_call)
  # The host registered both applications on connections the program did
  # not hold: the bridges'.
  [ "$status" -eq 0 ] || fail "exit status $status"
  expect "registered A=1 B=2"
  expect "sent 307200 received 307200 digest ok"
  expect "sockets 0"
  expect "released"
  [ "$(grep -c " register " "$scratch/host.log")" -eq 2 ] || fail "the host saw no two registrations"
  ;;
run_ctypes_listen)
  # The library's own entry points would name their maker and hold the
  # host's connections in this process.
  [ "$status" -eq 0 ] || fail "exit status $status"
  expect "manufacturer capi-bridge"
  expect "registered 1"
  expect "LISTEN_CONF info 0x0000"
  expect "sockets 0"
  expect "released"
  [ "$(grep -c " register " "$scratch/host.log")" -eq 1 ] || fail "the host saw no registration"
  ;;
run_runpath_dlopen)
  [ "$status" -eq 0 ] || fail "exit status $status"
  expect "plug-in loaded"
  ;;
linked_installed | run_installed)
  # Against a host that never answers a registration: is-installed and the
  # profile need none, and none is asked for.
  [ "$status" -eq 0 ] || fail "exit status $status"
  expect "installed"
  expect "controller 1: 2 B channels"
  ! grep -q " register " "$scratch/host.log" || fail "an application was registered for it"
  ;;
linked_small_receiver | run_small_receiver)
  # The host cuts A's 2048-byte blocks to B's 128 bytes and hands B no more
  # than the 3 it registered for.
  [ "$status" -eq 0 ] || fail "exit status $status"
  expect "B got 307200 bytes in blocks of at most 128, digest ok"
  ;;
linked_oversized)
  # 128 + SIGABRT: the library's stack protector ends the process.
  [ "$status" -eq 134 ] || fail "exit status $status where the library aborts"
  ;;
run_oversized)
  [ "$status" -eq 0 ] || fail "exit status $status"
  expect "A error 0x1108"
  expect "B: LISTEN_CONF info 0x0000"
  ;;
linked_long_data_b3)
  [ "$status" -eq 0 ] || fail "exit status $status"
  expect "put 0x0000"
  expect "B got 2048 bytes, not as sent"
  ;;
run_long_data_b3)
  [ "$status" -eq 0 ] || fail "exit status $status"
  expect "put 0x1102"
  expect "B got nothing"
  ;;
linked_fork_child | run_fork_child)
  # The parent has exited; its child goes on with the applications.
  [ "$status" -eq 0 ] || fail "exit status $status"
  for _ in $(seq 100); do
    grep -qx "child: released" "$scratch/out" && break
    sleep 0.1
  done
  expect "child: B listens"
  expect "child: released"
  ;;
linked_exec | run_exec)
  [ "$status" -eq 0 ] || fail "exit status $status"
  expect "zombies 0"
  ;;
linked_reap_children | run_reap_children)
  [ "$status" -eq 0 ] || fail "exit status $status"
  expect "reaped 1"
  expect "B listens"
  expect "released"
  ;;
linked_out_of_descriptors | run_out_of_descriptors)
  [ "$status" -eq 0 ] || fail "exit status $status"
  expect "refused 0x1008"
  expect "released"
  ;;
run_release_wakes | run_release_wakes_fileno)
  [ "$status" -eq 0 ] || fail "exit status $status"
  expect "waiter 0x1101"
  expect "in time"
  ;;
run_two_waiters)
  # Waiting costs a few milliseconds; threads that ended each other's
  # waiting Gets spent most of the two seconds.
  [ "$status" -eq 0 ] || fail "exit status $status"
  cpu=$(sed -n 's/^cpu \([0-9]*\) ms$/\1/p' "$scratch/out")
  [ -n "$cpu" ] && [ "$cpu" -lt 200 ] || fail "two waiters spent ${cpu:-?} ms of CPU"
  ;;
run_three_putters)
  [ "$status" -eq 0 ] || fail "exit status $status"
  expect "confirmed 120 of 120"
  ;;
run_no_thread)
  [ "$status" -eq 0 ] || fail "exit status $status"
  expect "fileno -1"
  expect "done"
  ;;
run_null_arguments)
  [ "$status" -eq 0 ] || fail "exit status $status"
  expect "register 0x1008"
  expect "put 0x1102"
  expect "get 0x1108"
  expect "profile 0x1108"
  expect "done"
  ;;
wine_run_call)
  # Every connection to the host is a bridge's: the Wine process, whose
  # capi2032 calls the library's entry points, opens none.
  timeout 100 strace -f -qq -e trace=connect,execve -o "$scratch/trace" \
    "$run" wine "$windows_program" capi2032.dll call 307200 >"$scratch/out" 2>&1
  status=$?
  wine_output
  [ "$status" -eq 0 ] || fail "exit status $status"
  expect "manufacturer capi-bridge"
  expect "sent 307200 received 307200 digest ok"
  expect "released"
  connecting=$(grep "htons($port)" "$scratch/trace" | awk '{print $1}' | sort -u)
  [ -n "$connecting" ] || fail "nothing connected to the host"
  for pid in $connecting; do
    awk -v pid="$pid" '$1 == pid && $2 ~ /^execve\(/' "$scratch/trace" | tail -1 \
      | grep -q '/capi-bridge"' \
      || fail "process $pid, no bridge, connected to the host"
  done
  [ "$(echo "$connecting" | wc -l)" -eq 3 ] \
    || fail "$(echo "$connecting" | wc -l) processes connected, where 3 bridges belong"
  ;;
wine_dll_small_receiver)
  timeout 100 wine "$windows_program" capi2064.dll small-receiver 307200 >"$scratch/out" 2>&1
  status=$?
  wine_output
  [ "$status" -eq 0 ] || fail "exit status $status"
  expect "B got 307200 bytes in blocks of at most 128, digest ok"
  ;;
wine_dll_redial | wine_dll_lose_call | wine_dll_redial_no_reconnect)
  # As run_redial, run_lose_call and run_redial_no_reconnect, through
  # capi2064.dll; the DLL's reconnection off by its environment variable.
  case $case_name in
  wine_dll_redial) arguments="redial 307200" until='first call done' ;;
  wine_dll_redial_no_reconnect)
    arguments="redial-once 307200" until='first call done'
    export CAPI_BRIDGE_RECONNECT=0
    ;;
  wine_dll_lose_call) arguments=lose-call until='data flowing' ;;
  esac
  # shellcheck disable=SC2086 # arguments: words
  CAPI_BRIDGE_STDERR="$scratch/bridges" timeout 100 wine "$windows_program" capi2064.dll \
    $arguments "Z:$scratch/back" >"$scratch/out" 2>&1 &
  restart_host_after "$until" $!
  wine_output
  case $case_name in
  wine_dll_redial_no_reconnect)
    [ "$status" -ne 0 ] || fail "exit status 0"
    expect "capi2032_call: A: CONNECT_REQ: info 0x1108"
    ;;
  *)
    [ "$status" -eq 0 ] || fail "exit status $status"
    if [ "$case_name" = wine_dll_lose_call ]; then
      expect "A: lost call, reason 0x3301"
      expect "B: lost call, reason 0x3301"
    fi
    expect "sent 65536 received 65536 digest ok"
    expect "released"
    served_again
    ;;
  esac
  ;;
wine_dll_call | wine32_dll_call | wine_ours_dll_call)
  # Nothing set: the library inside the bridge finds the host in .capi20rc.
  if [ "$case_name" = wine_ours_dll_call ]; then
    export CAPI_BRIDGE_HOST=127.0.0.1 CAPI_BRIDGE_PORT="$port"
  fi
  if [ "$case_name" = wine32_dll_call ]; then
    timeout 100 wine "$folder32/capi2032_call.exe" capi2032.dll call 307200 >"$scratch/out" 2>&1
  else
    timeout 100 wine "$windows_program" capi2064.dll call 307200 >"$scratch/out" 2>&1
  fi
  status=$?
  wine_output
  [ "$status" -eq 0 ] || fail "exit status $status"
  expect "manufacturer capi-bridge"
  expect "registered A=1 B=2"
  expect "sent 307200 received 307200 digest ok"
  expect "released"
  ;;
wine_dll_two_processes | wine32_dll_two_processes | wine32_64_two_processes)
  # Each side's bitness: the 32-bit program with capi2032.dll, the 64-bit
  # one with capi2064.dll.
  case $case_name in
  wine_dll_*) answering_bits=64 dialling_bits=64 ;;
  wine32_dll_*) answering_bits=32 dialling_bits=32 ;;
  wine32_64_*) answering_bits=64 dialling_bits=32 ;;
  esac
  side() { # BITS MODE: that program in that mode
    if [ "$1" = 32 ]; then
      timeout 100 wine "$folder32/capi2032_call.exe" capi2032.dll "$2" 307200
    else
      timeout 100 wine "$windows_program" capi2064.dll "$2" 307200
    fi
  }
  side "$answering_bits" answer >"$scratch/answer" 2>&1 &
  answering=$!
  for _ in $(seq 300); do
    grep -q '^listening' "$scratch/answer" && break
    sleep 0.1
  done
  side "$dialling_bits" dial >"$scratch/out" 2>&1
  status=$?
  wait "$answering"
  answered=$?
  cat "$scratch/answer" >>"$scratch/out"
  wine_output
  [ "$status" -eq 0 ] && [ "$answered" -eq 0 ] || fail "exit statuses $status and $answered"
  expect "registered A=1"
  expect "registered B=1"
  [ "$(grep -c '^sent 307200 received 307200 digest ok$' "$scratch/out")" -eq 2 ] \
    || fail "not both got what the other sent"
  ;;
*)
  fail "unknown case"
  ;;
esac
exit 0
