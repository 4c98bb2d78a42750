#!/usr/bin/env bash
# wine-prefix.sh setup|shutdown PREFIX: creates a private Wine prefix with a server that
# stays up, or ends that server.
set -euo pipefail
# shellcheck source=scripts/wine-env.sh
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
case $1 in
setup) wine_prefix_persist "$2" ;;
shutdown) wine_prefix_shutdown "$2" ;;
*) echo "usage: $0 setup|shutdown PREFIX" >&2; exit 2 ;;
esac
