#include "tests/faultaction.h"

#include <windows.h>
#include <dbghelp.h>

#include "engine/action.h"
#include "msi/vmsi.h"
#include "runtime/crashdump/crashdump.h"
#include "runtime/errors/annotate.h"

namespace {

int* volatile nowhere = nullptr;  // volatile: the compiler cannot tell that it is null
volatile int zero = 0;
volatile int sink = 0;

// Says so in the installer log when the frame that holds it unwinds.
struct LogWhenUnwound {
    vmsi& session;
    ~LogWhenUnwound() {
        try {
            session.log(L"%s", std::wstring(faultFrameUnwound));
        } catch (...) {
        }
    }
};

__attribute__((noinline)) void writeNowhere() { *nowhere = 1; }

__attribute__((noinline)) void divideByZero(vmsi& session) {
    LogWhenUnwound unwound{session};
    sink = 100 / zero;
}

class TestFaultAction : public Action {
public:
    TestFaultAction(std::wstring text, std::wstring fault) : Action(std::move(text)), fault_(std::move(fault)) {}

    static std::unique_ptr<Action> CreateAction(const std::wstring& parameters, const std::wstring& text) {
        std::vector<std::wstring> fields = factoryFields(parameters, "TestFaultAction", 1, 1);
        if (fields[0] != L"AccessViolation" && fields[0] != L"DivideByZero")
            throw vexception(L"Unknown fault " + fields[0], errorFrame(L"", "TestFaultAction::CreateAction"));
        return std::make_unique<TestFaultAction>(text, fields[0]);
    }

    void execute(vmsi& session) override {
        annotate("TestFaultAction::Commit", [&] { return L"Fault(" + fault_ + L")"; }, [&] {
            if (fault_ == L"DivideByZero") return divideByZero(session);
            LogWhenUnwound unwound{session};
            writeNowhere();
        });
    }
    void rollback(vmsi&) override {}

private:
    std::wstring fault_;
};

[[maybe_unused]] const bool registered = [] {
    actionfactory_detail::registerExtraType(L"TestFault", &TestFaultAction::CreateAction);
    crashdump_detail::setDumpType(MiniDumpNormal);
    // MiniDumpWriteDump of a process whose symbol handler is not initialised first loads the debug
    // information of every module: seconds per dump under Wine. Initialised here without loading any, a dump
    // takes a fraction of a second.
    ::SymSetOptions(::SymGetOptions() | SYMOPT_DEFERRED_LOADS);
    ::SymInitializeW(::GetCurrentProcess(), nullptr, FALSE);
    return true;
}();

}  // namespace
