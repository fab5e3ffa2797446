#!/usr/bin/env bash
# Installs what is missing, builds, and starts the recorder on its built-in simulated device.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build"
if [ -x "$root/build/bin/tessaro-recorder" ]; then
  exec "$root/build/bin/tessaro-recorder" "$@"
fi
echo "The recorder window is not part of this build yet; running the writer benchmark instead."
exec "$root/build/bench/bench_writer" "$@"
