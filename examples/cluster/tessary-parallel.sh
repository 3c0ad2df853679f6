#!/usr/bin/env bash
# Converts an image archive on a set of hosts over ssh with GNU parallel: one
# shard of the sorted image list per host, all hosts writing into one shared
# destination. Together the shards convert every image exactly once and name
# every output as one whole run would.
#
#   tessary-parallel.sh HOSTFILE DEST [OPTION...] PATH...
#
# HOSTFILE lists one ssh login per line (host, user@host; "#" starts a
# comment, ":" is this machine). Every host needs tessary-cli and must see
# DEST and the PATHs at the same absolute paths (name them so: a relative
# path would be taken from each host's home folder). The rest of the arguments go
# to `tessary-cli convert` as they stand (e.g. `-r /shared/scans`). Run the
# same command again after an interruption: --update skips every image
# already done. Keep the same host list: its length is the shard count.
#
# Environment:
#   TESSARY_CLI      the program on the hosts (default: tessary-cli on PATH)
#   TESSARY_REPORTS  folder for the reports and parallel's job log, on the
#                    shared file system (default: tessary-reports here); one
#                    report per host and run, tessary-STAMP_SHARD.jsonl
#   TESSARY_TEMP     node-local scratch folder on every host (default /tmp)
#   TESSARY_JOBS     images at once on each host (default 0: chosen by each
#                    host for its cores and memory)
set -euo pipefail

if [ $# -lt 3 ]; then
  echo "usage: tessary-parallel.sh HOSTFILE DEST [OPTION...] PATH..." >&2
  exit 2
fi
hostfile=$1
dest=$2
shift 2
case $dest in
  /*) ;;
  *) echo "tessary-parallel.sh: DEST must be an absolute path, the same on every host" >&2; exit 2 ;;
esac
command -v parallel >/dev/null || { echo "tessary-parallel.sh: GNU parallel is missing (apt-get install parallel)" >&2; exit 2; }

# One job slot per host ("1/host"), so each host takes exactly one shard.
logins=()
while read -r login _; do
  case $login in "" | \#*) continue ;; esac
  logins+=("1/$login")
done <"$hostfile"
shards=${#logins[@]}
if [ "$shards" -eq 0 ]; then
  echo "tessary-parallel.sh: no hosts in $hostfile" >&2
  exit 2
fi
reports=${TESSARY_REPORTS:-$PWD/tessary-reports}
reports=$(mkdir -p "$reports" && cd "$reports" && pwd)
stamp=$(date +%Y%m%d-%H%M%S)

login_args=()
for login in "${logins[@]}"; do login_args+=(--sshlogin "$login"); done

# -q quotes every word for the remote shell, so paths with spaces survive.
# --tag prefixes each host's log lines with its shard; --joblog records each
# shard's host and exit status; a failed shard does not stop the others.
seq 0 $((shards - 1)) | parallel -q --tag --line-buffer --halt never \
  --joblog "$reports/parallel-$stamp.log" "${login_args[@]}" \
  "${TESSARY_CLI:-tessary-cli}" convert \
  --update \
  --dest "$dest" \
  --temp "${TESSARY_TEMP:-/tmp}" \
  --report "$reports/tessary-${stamp}_{}.jsonl" \
  --shard "{}/$shards" \
  --jobs "${TESSARY_JOBS:-0}" \
  "$@"
