#!/bin/sh
# Runs one test program in a private mount namespace (as root, or in an
# unprivileged user namespace where the kernel allows one) whose /tmp is a
# fresh tmpfs holding every entry of the real /tmp, bound in, except the
# dump directory /tmp/debug_file and the default run directories
# /tmp/vantorel-*. So a build tree under /tmp still runs, while the tests
# that need the fixed dump directory (COMM_RMS_PRIVATE_TMP=1) never touch a
# user's real one, and two test runs on one machine never meet there. What
# a test makes directly in /tmp lands in the tmpfs and goes with it.
inner='here=$PWD && cd /tmp && mount -t tmpfs -o mode=1777 comm_rms_tests /tmp || exit 125
for entry in * .[!.]* ..?*; do
  [ -e "$entry" ] || [ -L "$entry" ] || continue
  case "$entry" in debug_file | vantorel-*) continue ;; esac
  if [ -L "$entry" ]; then
    ln -s "$(readlink "$entry")" "/tmp/$entry"
  elif [ -d "$entry" ]; then
    mkdir "/tmp/$entry" && mount --no-canonicalize --rbind "$entry" "/tmp/$entry"
  else
    : >"/tmp/$entry" && mount --no-canonicalize --bind "$entry" "/tmp/$entry"
  fi
done
cd "$here" && COMM_RMS_PRIVATE_TMP=1 exec "$@"'
if [ "$(id -u)" = 0 ] && unshare --mount --propagation private true 2>/dev/null; then
  exec unshare --mount --propagation private -- sh -c "$inner" sh "$@"
fi
if unshare --user --map-current-user --mount true 2>/dev/null; then
  exec unshare --user --map-current-user --mount --propagation private -- sh -c "$inner" sh "$@"
fi
exec "$@"
