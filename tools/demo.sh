#!/usr/bin/env bash
# The main job: build the DLL and the sample package, install the package with msiexec under wine64 and
# show what the custom actions did. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
tools/build.sh >/dev/null
source tools/wine-env.sh
source tools/msi-install.sh
wine_start
trap wine_stop EXIT

out=build/demo
mkdir -p "$out"
packaging/build-package.sh build/x64/bin/TarvoCA.dll "$out/tarvo-demo.msi"
demo_key='HKLM\SOFTWARE\Wow6432Node\Tarvo\Demo'
"$WINE64" reg delete "$demo_key" /f >/dev/null 2>&1 || true
rm -rf "$WINEPREFIX/drive_c/TarvoDemo"

echo "== Installing $out/tarvo-demo.msi with msiexec (log: $out/install.log)"
msi_install "$out/tarvo-demo.msi" "$out/install.log"
echo
echo "== What the custom actions wrote to the installer log"
msi_log_text "$out/install.log" | grep -E 'Performing|Reconfiguring|Finishing|Tarvo custom action|finished successfully|failed:|Rollback|^(Error|Warning|Info): ' \
    | sed -E 's/^MSI \([a-z]\) \([0-9A-F:]+\) \[[0-9:]+\]: //' | cut -c1-400
echo
echo "== Installer result: $MSI_RESULT"
echo
echo "== C:\\TarvoDemo\\etc\\rndc.conf"
cat "$WINEPREFIX/drive_c/TarvoDemo/etc/rndc.conf" 2>/dev/null | tr -d '\r' || echo "(not written)"
echo
echo "== Registry, 32-bit view: $demo_key"
"$WINE64" reg query "$demo_key" 2>/dev/null | tr -d '\r' | grep -E 'REG_' || echo "(nothing written)"
echo
echo "== Removing the demo product again"
msi_remove "$out/tarvo-demo.msi"
