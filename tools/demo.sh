#!/usr/bin/env bash
# The main job: build the DLL and the sample package, install the package with msiexec under Wine and show
# what the custom actions did. It builds only the width it installs, and only what the package and the demo
# use: the DLL, the demo service, the stand-ins of the panel and the authoring tool (no tests). Safe to run
# again.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
if reason=$(tools/preflight-i386.sh); then arch=x86; else arch=x64; fi
cmake --preset "$arch" >/dev/null
if ! cmake --build --preset "$arch" --target TarvoCA tarvo_demoservice tarvo_mgmtservice tarvo_sidservice \
        tarvo_php tarvoca >build/demo-build.log 2>&1; then
    tail -40 build/demo-build.log
    exit 1
fi
source tools/wine-env.sh
source tools/msi-install.sh
source tools/standins.sh
wine_start
trap wine_stop EXIT

out=build/demo
mkdir -p "$out"
if [ "$arch" = x86 ]; then
    dll=build/x86/bin/TarvoCA.dll; wine="$WINE32"
    echo "== The 32-bit package with the i686 DLL, installed by the 32-bit msiexec (syswow64)"
else
    dll=build/x64/bin/TarvoCA.dll; wine="$WINE64"
    echo "== The 64-bit package with the x86_64 DLL: $reason"
fi
msi_arch "$arch"
demo_dir="$MSI_PROGRAM_FILES/TarvoDemo"
packaging/build-package.sh "$dll" "$out/tarvo-demo.msi"
echo "== tarvoca lint $out/tarvo-demo.msi (the package authors' checks of the table and its wiring)"
TARVOCA_ARCH="$arch" tools/tarvoca lint "$(to_windows_path "$out/tarvo-demo.msi")" </dev/null && echo "  no findings"
echo
demo_key='HKLM\SOFTWARE\Wow6432Node\Tarvo\Demo'
"$WINE64" reg delete "$demo_key" /f >/dev/null 2>&1 || true
rm -rf "$demo_dir"

# Debug logging on for the run, so that the library's Info lines (the evaluation of each row's condition)
# reach the installer log too.
config='HKLM\SOFTWARE\Tarvo\HVC Config\Config'
"$WINE64" reg add "$config" /v Debug /t REG_DWORD /d 1 /f /reg:64 >/dev/null
restore_config() {
    standins_stop
    "$WINE64" reg delete "$config" /v Debug /f /reg:64 >/dev/null 2>&1 || true
    wine_stop
}
trap restore_config EXIT
# The panel around the product, as stand-ins: its management service (PRODUCT_ROOT_D = C:\TarvoPanel), its
# impersonation service, and its PHP at C:\TarvoPanel\admin\engine\php.exe, for the ExecPHPScript row.
standins_start "$(dirname "$dll")" "$wine"

echo "== Installing $out/tarvo-demo.msi with msiexec (log: $out/install.log)"
msi_install "$out/tarvo-demo.msi" "$out/install.log"
echo
echo "== What the custom actions wrote to the installer log"
# Up to Wine's closing dump of all properties (which, unlike Windows, ignores MsiHiddenProperties).
msi_log_text "$out/install.log" | awk '/^Property\([SC]\): /{stop=1} !stop' \
    | grep -E 'Performing|Reconfiguring|Finishing|Tarvo custom action (start|ended)|finished successfully|failed:|\(Error code |^Unable|^   at |Rollback|^(Error|Warning|Info): |^Execute |^Output:|^php: |^Tarvo demo:|^\[OK\]|reboot|ScheduleReboot' \
    | sed -E 's/^MSI \([a-z]\) \([0-9A-F:]+\) \[[0-9:]+\]: //' | cut -c1-400
echo
echo "== What the installer's dialog showed of the deferred and post-installation rows (the log's ActionData"
echo "   lines: each row's text, then the advance of a long row)"
# (awk reads to the end: leaving early would end the writer with SIGPIPE, which pipefail reports as a failure)
msi_log_text "$out/install.log" | awk '/^Property\([SC]\): /{stop=1} !stop && /^1: [A-Za-z]/ && !/^1: Tarvo custom actions demo/' \
    | sed 's/^/  /' | cut -c1-160
echo
case "$MSI_RESULT" in
    0) meaning="success" ;;
    3010) meaning="success; a reboot is required to finish (the row 'Ask for a reboot from a deferred stage')" ;;
    *) meaning="failure" ;;
esac
echo "== Installer result: $MSI_RESULT ($meaning)"
echo
echo "== ${demo_dir#"$WINEPREFIX/drive_c/"}/etc/rndc.conf"
cat "$demo_dir/etc/rndc.conf" 2>/dev/null | tr -d '\r' || echo "(not written)"
echo
echo "== The file rows: the server's files in etc (made from the shipped ones by CopyFile rows, then edited)"
for pair in tarvo-php.ini:php.ini tarvo-httpd.conf:httpd.conf tarvo-vhost.conf.tpl:tarvo-vhost.conf; do
    shipped="${pair%%:*}"; installed="${pair#*:}"
    diff -u --label "shipped $shipped" --label "installed etc/$installed" \
        <(tr -d '\r' <"packaging/data/$shipped") <(tr -d '\r' <"$demo_dir/etc/$installed" 2>/dev/null) || true
done
same() { cmp -s "$1" "$2" && echo "the same as $3" || echo "NOT the same as $3"; }
echo "www/index.html (backed up, replaced by the maintenance page, restored): $(same "packaging/data/index.html" "$demo_dir/www/index.html" "the shipped page")"
echo "www_upgrade.bak (the backup): $([ -e "$demo_dir/www_upgrade.bak" ] && echo "still there" || echo "removed by the restore")"
echo
echo "== Registry, 32-bit view: $demo_key"
"$WINE64" reg query "$demo_key" 2>/dev/null | tr -d '\r' | grep -E 'REG_' || echo "(nothing written)"
echo
echo "== The demo service (the package installs it; its rows start it, then restart it)"
echo "${demo_dir#"$WINEPREFIX/drive_c/"}/service.log, the service's own notes (name, process id, what happened):"
tr -d '\r' 2>/dev/null <"$demo_dir/service.log" | sed 's/^/  /' || echo "  (not written)"
"$WINE64" sc query TarvoDemoService 2>/dev/null | tr -d '\r' | grep -E 'STATE' | sed 's/^ */  now: /'
echo
echo "== The stand-in impersonation service (it started the PHP row's php.exe as S-1-5-18)"
sed 's/^/  /' "$standins_log/sid.log"
echo
echo "== The installation's rollback: the package again, on the installed product, with a deferred action"
echo "   after the normal stage that fails (FAIL_AFTER_NORMAL=1; log: $out/rollback.log)"
files() { (cd "$demo_dir" && find etc www -type f -print0 | sort -z | xargs -0 md5sum); }
# As an administrator might have it: Apache's configuration as shipped and a port of its own, which the
# stage changes again and the rollback puts back.
cp packaging/data/tarvo-httpd.conf "$demo_dir/etc/httpd.conf"
"$WINE64" reg add "$demo_key" /v PanelPort /t REG_DWORD /d 80 /f >/dev/null
files_before="$(files)"
port_before="$("$WINE64" reg query "$demo_key" /v PanelPort 2>/dev/null | tr -d '\r' | awk '/REG_DWORD/{print $3}')"
msi_install "$out/tarvo-demo.msi" "$out/rollback.log" FAIL_AFTER_NORMAL=1
echo "Installer result: $MSI_RESULT (the installation failed and was rolled back)"
echo "What OnStageNormalRollback wrote to the log:"
msi_log_text "$out/rollback.log" | awk '/^Action start [0-9:]+: OnStageNormalRollback\./ { n++ } n == 2 && /^Action ended/ { n++ }
    n == 2 && /^(1: Rollback action:|Rollback|Nothing)/' | sed 's/ 2: *$//; s/^/  /'
echo "The files in etc and www: $([ "$(files)" = "$files_before" ] && echo "the same as before" || echo "NOT the same as before")"
echo "PanelPort: $("$WINE64" reg query "$demo_key" /v PanelPort 2>/dev/null | tr -d '\r' | awk '/REG_DWORD/{print $3}') (before: $port_before)"
product="$(msiinfo export "$out/tarvo-demo.msi" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductCode" { print $2 }')"
echo "Undo data of the product left in ProgramData\\Tarvo\\Undo\\$product: $([ -e "$WINEPREFIX/drive_c/ProgramData/Tarvo/Undo/$product" ] && echo "some" || echo "none")"
# Wine's installer, unlike Windows', forgets the product after a failed maintenance installation: installed
# once more, it can be removed as a whole.
msi_install "$out/tarvo-demo.msi" "$out/reinstall.log"
echo
echo "== Removing the demo product again"
msi_remove "$out/tarvo-demo.msi"
