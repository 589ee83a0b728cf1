#!/bin/sh
# run_isolated.sh itself: a program in a tree under /tmp (a throwaway clone)
# still runs inside it, writes to that tree, and the dump directory it makes
# there is private. Exit 77 (skipped) where no private namespace is allowed.
set -e
isolate=$(cd "$(dirname "$0")" && pwd)/run_isolated.sh
tree=$(mktemp -d /tmp/comm_rms_tree.XXXXXX)
trap 'rm -rf "$tree"' EXIT
cat >"$tree/program" <<'PROGRAM'
#!/bin/sh
[ "$COMM_RMS_PRIVATE_TMP" = 1 ] || exit 77
mkdir /tmp/debug_file && touch /tmp/debug_file/mine && echo ran >ran
PROGRAM
chmod +x "$tree/program"
before=$(ls -la /tmp/debug_file 2>&1 || true)
status=0
(cd "$tree" && "$isolate" ./program) || status=$?
[ "$status" = 0 ] || exit "$status"
[ "$(cat "$tree/ran")" = ran ]
[ "$(ls -la /tmp/debug_file 2>&1 || true)" = "$before" ]
