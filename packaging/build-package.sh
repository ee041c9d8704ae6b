#!/usr/bin/env bash
# Builds the sample package: build-package.sh DLL OUTPUT.msi [SERVICE.exe]
# The package's width follows the DLL's: an i686 DLL gives the 32-bit package (the product's real form), an
# x86_64 DLL the 64-bit one. SERVICE.exe, the program of the demo service (of the same width), defaults to
# the demo service built beside the DLL. wixl makes the package from sample.wxs (which includes the wiring,
# TarvoCustomActions.wxi); msibuild adds the TarvoCustomActions table from its .idt file.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
dll="$(realpath "$1")"
out="$(realpath -m "$2")"
arch="$("$here/dll-arch.sh" "$dll")"
service="$(realpath "${3:-$(dirname "$dll")/tarvo_demoservice.exe}")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp -r "$here/rndc.key" "$here/TarvoCustomActions.idt" "$here/data" "$work/"
if [ "$arch" = x64 ]; then strip=x86_64-w64-mingw32-strip; wixl_arch=(-a x64); else strip=i686-w64-mingw32-strip; wixl_arch=(); fi
"$strip" -o "$work/TarvoCA.dll" "$dll"
"$strip" -o "$work/tarvo_demoservice.exe" "$service"
cp "$here/sample.wxs" "$here/TarvoCustomActions.wxi" "$work/"
# wixl ignores Execute="commit" and Execute="rollback" (it writes an immediate action): OnStagePrecommit and
# OnStageNormalCommit are commit actions (3585 = DLL 1 + in-script 0x400 + commit 0x200 + no-impersonate 0x800),
# which run once the installation has succeeded; OnStageNormalRollback is a rollback action (3329 = DLL 1 +
# rollback 0x100 + in-script 0x400 + no-impersonate 0x800), which runs only when it fails.
(cd "$work" && wixl "${wixl_arch[@]}" -D Arch="$arch" -o package.msi sample.wxs 2>/dev/null &&
    msibuild package.msi -q "UPDATE \`CustomAction\` SET \`Type\`=${PRECOMMIT_TYPE:-3585} WHERE \`Action\`='OnStagePrecommit'" &&
    msibuild package.msi -q "UPDATE \`CustomAction\` SET \`Type\`=3585 WHERE \`Action\`='OnStageNormalCommit'" &&
    msibuild package.msi -q "UPDATE \`CustomAction\` SET \`Type\`=3329 WHERE \`Action\`='OnStageNormalRollback'" &&
    msibuild package.msi -i TarvoCustomActions.idt &&
    # FailAfterNormal: 3106 = an executable run in a folder 34 + in-script 0x400 + no-impersonate 0x800.
    msibuild package.msi -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('FailAfterNormal', 3106, 'INSTALLDIR', 'cmd.exe /c (if not \"[EDIT_AFTER_NORMAL]\"==\"\" echo # edited after the stage>>\"[EDIT_AFTER_NORMAL]\") & exit 1')" &&
    msibuild package.msi -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('FailAfterNormal', 'FAIL_AFTER_NORMAL=\"1\" AND NOT REMOVE', 4009)" &&
    "$here/add-action-texts.sh" package.msi &&
    for made in php.ini httpd.conf tarvo-vhost.conf tarvo-vhost.conf.bak rndc.conf; do  # the rows' files in etc
        msibuild package.msi -q "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`FileName\`, \`DirProperty\`, \`InstallMode\`) VALUES ('Made_${made//[.-]/_}', 'RndcKey', '$made', 'ETCDIR', 2)" || exit 1
    done)
mkdir -p "$(dirname "$out")"
mv "$work/package.msi" "$out"
