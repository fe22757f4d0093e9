#!/usr/bin/env bash
# Installs from Debian's packages whatever the build and the tests need and the
# machine lacks. As root it installs; otherwise it names what is missing.
set -euo pipefail

missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v ninja >/dev/null 2>&1 || missing+=(ninja-build)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || missing+=(libgmock-dev)

[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "notchkey: missing Debian packages: ${missing[*]}" >&2
  echo "notchkey: install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "notchkey: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
