#!/usr/bin/env bash
# Installs the Debian 12 packages the recorder needs to build, run and test, only where missing.
set -euo pipefail
# qtbase5-dev brings QtDBus (the ALSA driver reserves cards on the session bus); dbus-daemon runs
# the private session bus of the ALSA driver's tests.
# clang-format keeps the sources in the repository's one style (scripts/check-format.sh).
packages=(build-essential cmake qtbase5-dev qtbase5-dev-tools libasound2-dev alsa-utils ffmpeg sox python3-pil
          desktop-file-utils dpkg-dev file lintian dbus-daemon clang-format)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
