#!/usr/bin/env bash
# Checks each DLL given: the custom actions and the execute-context pointer are exported by their plain
# names; every imported DLL is a system DLL of the oldest supported Windows (Vista / Server 2008, NT 6.0; the
# C++ runtime is linked in statically); and no imported function is one that Windows lacks there (newer
# functions are looked up at run time, with a fallback).
set -u
expected=(GetPassword OnStageNormal OnStageNormalCommit OnStageNormalRollback OnStagePostinstall OnStagePrecommit OnStagePreinstall PrepareTarvoCustomActions
          m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22)
# DLLs of Windows Vista; the api-ms-win-* API sets came with Windows 7 and later.
system_dll='^(kernel32|user32|advapi32|msi|ole32|oleaut32|shell32|shlwapi|rpcrt4|psapi|dbghelp|bcrypt|msvcrt|ntdll|userenv)\.dll$'
# Functions of those DLLs that came after Windows Vista (K32* are the Windows 7 forms of the psapi functions).
newer_functions='^(K32[A-Za-z]+|TryAcquireSRWLock(Exclusive|Shared)|PathCch[A-Za-z]+|PathAlloc(Combine|Canonicalize)|CreateFile2|GetSystemTimePreciseAsFileTime|SetThreadDescription|GetThreadDescription|GetCurrentThreadStackLimits|WaitOnAddress|WakeByAddress(Single|All)|QueryUnbiasedInterruptTime|GetLogicalProcessorInformationEx|CreateRemoteThreadEx|SetDefaultDllDirectories|AddDllDirectory|RemoveDllDirectory|GetNumaNodeProcessorMaskEx|PowerCreateRequest|PowerSetRequest|InitializeSynchronizationBarrier|EnterSynchronizationBarrier|CompareObjectHandles|GetProcessInformation|SetProcessInformation|GetFileInformationByHandleEx2|CopyFile2|GetOverlappedResultEx|SetThreadGroupAffinity|GetActiveProcessorCount|Wow64GetThreadContext|Wow64SetThreadContext|GetProcessMitigationPolicy|SetProcessMitigationPolicy|BCryptGenRandomEx)$'
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
    functions=$(awk '/DLL Name:/{dll=$3; next} dll && /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/{print dll ": " $NF}' <<<"$dump")
    [ -n "$functions" ] || { echo "FAIL: no imported functions found in $dll"; status=1; }
    while read -r line; do
        if [[ ${line#*: } =~ $newer_functions ]]; then echo "FAIL: $dll imports $line, which Windows Vista lacks"; status=1; fi
    done <<<"$functions"
    echo "$dll: $(wc -l <<<"$exports") exports, $(wc -l <<<"$functions") imported functions from: $(awk '/DLL Name:/{printf "%s ", $3}' <<<"$dump")"
done
exit $status
