#!/usr/bin/env bash
# Installs what is missing, builds the updater for this Linux desktop and runs it.
set -euo pipefail
cd "$(dirname "$0")"
source tools/scripts/common.sh
orvane_install "${ORVANE_BUILD_PACKAGES[@]}" googletest libgtest-dev libgmock-dev libbenchmark-dev
orvane_build linux orvane-updater
exec build/linux/bin/orvane-updater "$@"
