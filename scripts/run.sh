#!/usr/bin/env bash
# Installs what is missing, builds, and starts the recorder on its built-in simulated device.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build"
exec "$root/build/bin/tessaro-recorder" "$@"
