#!/usr/bin/env bash
# `make demo`: builds both targets and runs the sample host under Wine, then
# shows the SDK log it wrote.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$REPO_DIR"

bash scripts/install_packages.sh
vextra_load_deps
bash scripts/setup_wine.sh >/dev/null
bash scripts/build_native.sh build/linux
bash scripts/build_windows.sh build/windows

cd build/windows
rm -rf VextraLog
echo "==== running the sample host under Wine"
bash "$REPO_DIR/scripts/wine_run.sh" ./vextra_sample_host.exe
echo
for log in VextraLog/*.log; do
  echo "==== SDK log: build/windows/$log"
  tr -d '\r' < "$log"
done
