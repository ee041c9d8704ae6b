#pragma once
// Reboot requests of configuration actions (a command that exits with 1703 or 3010).
//
// An immediate action schedules the reboot at once with the installer's ScheduleReboot action. A deferred or
// commit action may not run installer actions on Windows, so it records the request instead: a global atom
// named "TarvoCA.RebootRequest." + the installation's ProductCode (global atoms live in the window station
// that the installer's custom-action servers share). The next immediate stage entry point of the same
// installation (OnStagePostinstall, after InstallFinalize) finds it, removes it and schedules the reboot;
// PrepareTarvoCustomActions drops a request that an earlier installation left behind.
class vmsi;

// Schedules the reboot now, or records it when the session is deferred.
void requestReboot(vmsi& session);
// In an immediate session: schedules the reboot that deferred actions recorded; true when there was one.
bool scheduleRecordedReboot(vmsi& session);
// Removes a recorded request without scheduling anything.
void forgetRecordedReboot(vmsi& session);
