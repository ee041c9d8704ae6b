#include "engine/reboot.h"

#include "msi/vmsi.h"
#include "runtime/errors/vexception.h"

namespace {

std::wstring requestAtom(vmsi& session) { return L"TarvoCA.RebootRequest." + session.GetProperty(L"ProductCode"); }

// Removes every reference to the atom (each recorded request added one); true when there was any.
bool removeAtom(const std::wstring& name) {
    bool found = false;
    for (ATOM atom; (atom = ::GlobalFindAtomW(name.c_str())) != 0;) {
        found = true;
        if (::GlobalDeleteAtom(atom) != 0) break;  // not ours to delete: leave it
    }
    return found;
}

}  // namespace

void requestReboot(vmsi& session) {
    if (!session.isDeferred()) {
        session.DoAction(L"ScheduleReboot");
        return;
    }
    const std::wstring name = requestAtom(session);
    if (::GlobalAddAtomW(name.c_str()) == 0)
        throwOsError(L"GlobalAddAtom(" + name + L")", ::GetLastError(), errorFrame(L"", "requestReboot"));
    session.logMessage(L"The reboot is scheduled by the next immediate stage of the installation");
}

bool scheduleRecordedReboot(vmsi& session) {
    if (session.isDeferred() || !removeAtom(requestAtom(session))) return false;
    session.logMessage(L"Scheduling the reboot that a deferred action requested");
    session.DoAction(L"ScheduleReboot");
    return true;
}

void forgetRecordedReboot(vmsi& session) {
    if (removeAtom(requestAtom(session))) session.logMessage(L"A reboot request of an earlier installation is dropped");
}
