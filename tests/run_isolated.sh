#!/bin/sh
# Runs one test program with a /tmp of its own: a tmpfs in a private mount
# namespace (as root, or in an unprivileged user namespace where the kernel
# allows one). Tests that need the fixed dump directory /tmp/debug_file/ run
# only there (COMM_RMS_PRIVATE_TMP=1), so a user's real directory is never
# touched and two test runs on one machine never meet.
inner='mount -t tmpfs -o mode=1777 comm_rms_tests /tmp && COMM_RMS_PRIVATE_TMP=1 exec "$@"'
if [ "$(id -u)" = 0 ] && unshare --mount --propagation private true 2>/dev/null; then
  exec unshare --mount --propagation private -- sh -c "$inner" sh "$@"
fi
if unshare --user --map-current-user --mount true 2>/dev/null; then
  exec unshare --user --map-current-user --mount --propagation private -- sh -c "$inner" sh "$@"
fi
exec "$@"
