#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# GNU parallel over ssh spreads one folder over two "hosts" with sonbar-cli batch
# --files-from: both hosts are this machine, reached through an sshd on the loopback address
# that this test starts with a throwaway key. Every file must be recoded exactly once and
# every source be gone. Exit 77 (skipped) where sshd cannot be started.
# Usage: parallel_ssh.sh SONBAR_CLI
set -euo pipefail
cli=$1
skip() {
  echo "SKIP: $*"
  exit 77
}
for tool in parallel ssh ssh-keygen sox perl; do
  command -v "$tool" >/dev/null || skip "needs $tool"
done
sshd=$(command -v sshd || echo /usr/sbin/sshd)
[ -x "$sshd" ] || skip "needs sshd (openssh-server)"

work=$(mktemp -d "${TMPDIR:-/tmp}/sonbar-parallel.XXXXXX")
sshd_pid=
cleanup() {
  if [ -n "$sshd_pid" ]; then kill "$sshd_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

ssh-keygen -q -t ed25519 -N '' -C sonbar-test-host -f "$work/host_key"
ssh-keygen -q -t ed25519 -N '' -C sonbar-test-user -f "$work/user_key"
cp "$work/user_key.pub" "$work/authorized_keys"
chmod 600 "$work/authorized_keys"
user=$(id -un)
# As root, sshd wants its privilege separation folder.
[ "$(id -u)" -ne 0 ] || mkdir -p /run/sshd

started=no
for attempt in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 40000))
  cat >"$work/sshd_config" <<CONF
Port $port
ListenAddress 127.0.0.1
HostKey $work/host_key
AuthorizedKeysFile $work/authorized_keys
PidFile $work/sshd.pid
AllowUsers $user
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
CONF
  "$sshd" -D -e -f "$work/sshd_config" 2>"$work/sshd.log" &
  sshd_pid=$!
  cat >"$work/ssh_config" <<CONF
Host hostA hostB
  HostName 127.0.0.1
  Port $port
  User $user
  IdentityFile $work/user_key
  IdentitiesOnly yes
  BatchMode yes
  StrictHostKeyChecking no
  UserKnownHostsFile /dev/null
  LogLevel ERROR
  ConnectTimeout 20
CONF
  # Wait until sshd answers (or has ended: a port in use, a refused configuration).
  for try in $(seq 1 100); do
    kill -0 "$sshd_pid" 2>/dev/null || break
    if ssh -F "$work/ssh_config" hostA true 2>/dev/null; then
      started=yes
      break
    fi
    sleep 0.2
  done
  [ $started = yes ] && break
  kill "$sshd_pid" 2>/dev/null || true
  wait "$sshd_pid" 2>/dev/null || true
  sshd_pid=
done
[ $started = yes ] || skip "sshd could not be started: $(tail -n 3 "$work/sshd.log")"

mkdir -p "$work/in/sub" "$work/out"
for i in $(seq -w 1 40); do
  sub=""
  [ $((10#$i % 3)) -eq 0 ] && sub=sub/
  sox -n -r 22050 -c 1 -b 16 "$work/in/${sub}f$i.wav" synth 0.2 sine $((200 + 10#$i * 10))
done
touch -d '1 min ago' "$work/in"/*.wav "$work/in"/sub/*.wav
"$cli" settings --settings "$work/cfg" source-dirs="$work/in" target-dirs="$work/out" \
  target-ext=wav exists=skip after=delete mode=classical relative-dirs=on \
  --tag ima --attributes '22,050 Hz, 4 Bit, Mono' >/dev/null

# Eight lists of five files, spread over the two hosts, one batch at a time on each.
(cd "$work" && find "$work/in" -name '*.wav' | sort |
  parallel --pipe -N 5 -S 1/hostA,1/hostB --ssh "ssh -F $work/ssh_config" \
    --joblog "$work/jobs.log" "$cli batch --settings $work/cfg --files-from -" \
    >"$work/stdout.txt" 2>"$work/stderr.txt") || {
  echo "parallel failed:"
  cat "$work/stderr.txt" "$work/jobs.log"
  exit 1
}

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
jobs=$(tail -n +2 "$work/jobs.log" | wc -l)
[ "$jobs" -eq 8 ] || fail "the joblog holds $jobs jobs, not 8"
bad=$(tail -n +2 "$work/jobs.log" | awk -F'\t' '$7 != 0 || $8 != 0' | wc -l)
[ "$bad" -eq 0 ] || fail "$bad jobs failed: $(cat "$work/jobs.log")"
hosts=$(tail -n +2 "$work/jobs.log" | cut -f2 | sort -u | tr '\n' ' ')
[ "$hosts" = "hostA hostB " ] || fail "the jobs ran on '$hosts', not on both hosts"
recoded=$(grep -c '^recoded ' "$work/stdout.txt" || true)
distinct=$(sed -n 's/^recoded \(.*\) -> .*/\1/p' "$work/stdout.txt" | sort -u | wc -l)
[ "$recoded" -eq 40 ] && [ "$distinct" -eq 40 ] ||
  fail "$recoded lines recoded $distinct distinct sources, not 40 once each"
left=$(find "$work/in" -name '*.wav' | wc -l)
[ "$left" -eq 0 ] || fail "$left sources left"
targets=$(find "$work/out" -name '*.wav' | wc -l)
[ "$targets" -eq 40 ] || fail "$targets targets, not 40"
[ -f "$work/out/sub/f03.wav" ] || fail "the subfolder's relative path was not kept"
for t in $(find "$work/out" -name '*.wav'); do
  "$cli" info "$t" | grep -q 'tag=17 ' || fail "$t is not an IMA ADPCM file"
done
[ -z "$(find "$work" -name '*.part' -o -name '*.sonbar-claim')" ] || fail ".part or claim left"
[ $failures -eq 0 ] || {
  cat "$work/stderr.txt"
  exit 1
}
echo "parallel over ssh: 40 files on 2 hosts in $jobs jobs, each recoded once"
