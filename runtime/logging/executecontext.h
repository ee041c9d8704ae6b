#pragma once
// The process execute context: shared by every module of the process that carries this runtime, found
// through each module's exported pointer.
#include <windows.h>

class LogManager;
namespace ThreadCancelation {
class CancelationRegistry;
}

struct ExecuteContext {
    ThreadCancelation::CancelationRegistry* cancelation = nullptr;
    LogManager* logManager = nullptr;
    LONG references = 1;
};

extern "C" __declspec(dllexport) ExecuteContext* m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22;
