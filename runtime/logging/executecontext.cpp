#include "runtime/logging/executecontext.h"

#include <psapi.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/logging/logmanager.h"
#include "runtime/threads/cancelation.h"
#include "runtime/threads/sync.h"

ExecuteContext* m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22 = nullptr;

namespace {

constexpr const char* contextExport = "m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22";

HMODULE thisModule() noexcept {
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&thisModule), &module);
    return module;
}

void releaseContext() noexcept {
    ExecuteContext* context = m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22;
    m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22 = nullptr;
    if (!context || ::InterlockedDecrement(&context->references) != 0) return;
    ThreadCancelation::destroyRegistry(context->cancelation);
    LogManager::destroy(context->logManager);
    delete context;
}

}  // namespace

namespace executecontext_detail {

ExecuteContext* findInModules(HMODULE self) noexcept {
    std::vector<HMODULE> modules(1024 / sizeof(HMODULE));
    DWORD needed = 0;
    const HANDLE process = ::GetCurrentProcess();
    if (!::EnumProcessModules(process, modules.data(), static_cast<DWORD>(modules.size() * sizeof(HMODULE)), &needed))
        return nullptr;
    if (needed > modules.size() * sizeof(HMODULE)) {
        // One enlargement to the reported size; modules loaded meanwhile end the search.
        modules.resize(needed / sizeof(HMODULE));
        const DWORD size = static_cast<DWORD>(modules.size() * sizeof(HMODULE));
        if (!::EnumProcessModules(process, modules.data(), size, &needed) || needed > size) return nullptr;
    }
    modules.resize(needed / sizeof(HMODULE));
    for (HMODULE module : modules) {
        if (module == self) continue;
        auto* slot = reinterpret_cast<ExecuteContext**>(::GetProcAddress(module, contextExport));
        if (slot && *slot) return *slot;
    }
    return nullptr;
}

}  // namespace executecontext_detail

ExecuteContext& executeContext() {
    static OnceRetrying setUp;
    static ExecuteContext afterRelease;  // anything still logging after this module let its context go
    setUp.run([] {
        // Two modules starting at once must not make two contexts.
        ExclusiveTask creation(L"tarvo_execute_context_" + std::to_wstring(::GetCurrentProcessId()));
        ExecuteContext* context = executecontext_detail::findInModules(thisModule());
        if (context)
            ::InterlockedIncrement(&context->references);
        else
            context = new ExecuteContext();
        m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22 = context;
        std::atexit(releaseContext);
    });
    ExecuteContext* context = m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22;
    return context ? *context : afterRelease;
}
