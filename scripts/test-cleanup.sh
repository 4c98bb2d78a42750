#!/usr/bin/env bash
# test-cleanup.sh BUILD_DIR: the test run's last step. Ends the wineserver of every prefix
# under the build tree (the shared test prefix, whose server was kept up for the whole run,
# and any prefix of an end-to-end test), removes the network namespaces the tests recorded
# and unmounts what they mounted under the build tree.
#
# A test that runs past its TIMEOUT is ended by CTest with SIGKILL, so its exit trap never
# runs: its persistent server, services.exe, the service and its namespace would stay.
# Whatever this step finds is named, so a run that left something behind says so.
set -uo pipefail
build=$1
here=$(dirname "${BASH_SOURCE[0]}")
# shellcheck source=scripts/wine-env.sh
source "$here/wine-env.sh"
# shellcheck source=scripts/netns-lib.sh
source "$here/netns-lib.sh"

# Prefixes are found by their registry; drive_c and dosdevices are never searched (the
# latter links to /).
while IFS= read -r prefix; do
    if wine_prefix_server_running "$prefix"; then
        [ "$prefix" = "$build/wineprefix" ] || echo "cleanup: ending the wineserver left in $prefix"
        wine_prefix_shutdown "$prefix"
    fi
done < <(find "$build" -maxdepth 6 \( -name drive_c -o -name dosdevices \) -prune -o \
    -name system.reg -printf '%h\n' 2>/dev/null)

netns_cleanup_recorded "$build/netns-record.txt"

# Mounts in the root namespace under the build tree (log_faults.sh mounts small file
# systems on a prefix's folder); the deepest first.
if command -v findmnt >/dev/null; then
    findmnt -rn -o TARGET | awk -v root="$build/" 'index($0, root) == 1' | sort -r |
        while IFS= read -r target; do
            echo "cleanup: unmounting $target"
            umount -l "$target" || true
        done
fi
exit 0
