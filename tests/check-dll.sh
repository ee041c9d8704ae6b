#!/usr/bin/env bash
# Checks each DLL given: the custom actions and the execute-context pointer are exported by their plain
# names, and every imported DLL is a system DLL (the C++ runtime is linked in statically).
set -u
expected=(GetPassword OnStageNormal OnStagePostinstall OnStagePrecommit OnStagePreinstall PrepareTarvoCustomActions
          m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22)
system_dll='^(kernel32|user32|advapi32|msi|ole32|oleaut32|shell32|shlwapi|rpcrt4|psapi|dbghelp|bcrypt|msvcrt|ntdll|api-ms-win-[a-z0-9-]+)\.dll$'
status=0
for dll in "$@"; do
    if [ ! -f "$dll" ]; then echo "FAIL: $dll was not built"; status=1; continue; fi
    dump=$(x86_64-w64-mingw32-objdump -p "$dll")
    exports=$(awk '/\[Ordinal\/Name Pointer\] Table/{t=1; next} t && /^[ \t]*\[/{print $NF; next} t && NF==0{t=0}' <<<"$dump" | sort)
    want=$(printf '%s\n' "${expected[@]}" | sort)
    if [ "$exports" != "$want" ]; then
        echo "FAIL: $dll exports:"; echo "$exports"; echo "expected:"; echo "$want"; status=1
    fi
    while read -r imported; do
        lower=$(tr 'A-Z' 'a-z' <<<"$imported")
        if ! [[ $lower =~ $system_dll ]]; then echo "FAIL: $dll imports $imported"; status=1; fi
    done < <(awk '/DLL Name:/{print $3}' <<<"$dump")
    echo "$dll: $(wc -l <<<"$exports") exports, imports: $(awk '/DLL Name:/{printf "%s ", $3}' <<<"$dump")"
done
exit $status
