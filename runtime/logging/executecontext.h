#pragma once
// The process execute context: shared by every module of the process that carries this runtime, found
// through each module's exported pointer.
#include <windows.h>

class LogManager;
namespace ThreadCancelation {
class CancelationRegistry;
}

// The layout is shared with other modules: keep the fields and their order.
struct ExecuteContext {
    ThreadCancelation::CancelationRegistry* cancelation = nullptr;
    LogManager* logManager = nullptr;
    LONG references = 1;
};

extern "C" __declspec(dllexport) ExecuteContext* m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22;

// This module's context: the one another module of the process already holds, or a new one. The module
// keeps a reference until it is unloaded or the process exits.
ExecuteContext& executeContext();

namespace executecontext_detail {
// The context held by another loaded module, if any (exposed for tests).
ExecuteContext* findInModules(HMODULE self) noexcept;
}  // namespace executecontext_detail
