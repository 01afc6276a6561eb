#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the trainer need, when missing.
# Idempotent and quiet: when everything is present it only asks dpkg and returns.
set -euo pipefail

packages=(
  cmake ninja-build ccache g++ pkg-config
  qt6-base-dev qt6-multimedia-dev qt6-translations-l10n
  libicu-dev libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev libreadline-dev
  xvfb xauth x11-utils fonts-ipafont-gothic imagemagick
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
if [[ $(id -u) -ne 0 ]]; then sudo=(sudo); fi
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq >/dev/null
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
