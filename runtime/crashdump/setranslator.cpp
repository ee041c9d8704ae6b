#include "runtime/crashdump/setranslator.h"

#include <atomic>
#include <utility>

#include "runtime/crashdump/crashdump.h"
#include "runtime/errors/vexception.h"

namespace {

// What one thread needs between a fault and its exception. The record and the context are copies: the
// originals lie on the part of the stack that the thrower reuses.
struct ThreadTranslation {
    SeTranslatorFunction translator = nullptr;
    SeTranslatorFunction pending = nullptr;  // the translator a fault is on its way to; null otherwise
    EXCEPTION_RECORD record{};
    CONTEXT context{};
    EXCEPTION_POINTERS pointers{};
};

thread_local ThreadTranslation threadTranslation;

LONG CALLBACK onException(EXCEPTION_POINTERS* pointers);

class Translation;
// Set while the handler can use the module's translation: it may run on any thread at any time.
std::atomic<Translation*> installed{nullptr};

// The module's vectored handler and the TLS slot through which it finds the faulting thread's state. The
// handler reads the slot rather than the thread_local itself: reading a thread_local that a thread has never
// touched allocates, and the handler sees faults of every thread.
class Translation {
public:
    Translation() noexcept : slot_(::TlsAlloc()) {
        HMODULE module = nullptr;
        if (::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<LPCWSTR>(&onException), &module)) {
            const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
            const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(reinterpret_cast<const BYTE*>(module) + dos->e_lfanew);
            begin_ = reinterpret_cast<ULONG_PTR>(module);
            end_ = begin_ + nt->OptionalHeader.SizeOfImage;
        }
        installed.store(this, std::memory_order_release);
        if (slot_ != TLS_OUT_OF_INDEXES) handler_ = ::AddVectoredExceptionHandler(1, &onException);
    }
    Translation(const Translation&) = delete;
    Translation& operator=(const Translation&) = delete;
    ~Translation() {
        installed.store(nullptr, std::memory_order_release);
        if (handler_) ::RemoveVectoredExceptionHandler(handler_);
        if (slot_ != TLS_OUT_OF_INDEXES) ::TlsFree(slot_);
    }

    // The calling thread's state, or null when it never installed a translator. Never allocates.
    ThreadTranslation* current() const noexcept {
        if (slot_ == TLS_OUT_OF_INDEXES) return &threadTranslation;
        const DWORD error = ::GetLastError();  // TlsGetValue clears it, and the fault may not be ours to take
        auto* state = static_cast<ThreadTranslation*>(::TlsGetValue(slot_));
        ::SetLastError(error);
        return state;
    }
    ThreadTranslation& own() noexcept {
        ThreadTranslation& state = threadTranslation;
        if (slot_ != TLS_OUT_OF_INDEXES) ::TlsSetValue(slot_, &state);
        return state;
    }
    // Only faults in this module's own code are taken: its frames have the unwind tables a C++ exception
    // needs, while other modules' code handles its own faults (system functions probe memory that way).
    bool inModule(const void* address) const noexcept {
        const auto value = reinterpret_cast<ULONG_PTR>(address);
        return value >= begin_ && value < end_;
    }

private:
    DWORD slot_;
    ULONG_PTR begin_ = 0;
    ULONG_PTR end_ = 0;
    void* handler_ = nullptr;
};

Translation& translation() noexcept {
    static Translation instance;
    return instance;
}

}  // namespace

// Where a faulting thread resumes: as if the faulting instruction had called it. It hands the saved fault to
// the translator, which throws; should a translator return, the structured exception is thrown as it is.
extern "C" [[noreturn]] __attribute__((noinline, used)) void tarvoThrowTranslated() {
    ThreadTranslation& state = *installed.load(std::memory_order_acquire)->current();
    struct Done {
        ThreadTranslation& state;
        ~Done() { state.pending = nullptr; }  // the next fault may be translated again
    } done{state};
    const auto code = static_cast<unsigned int>(state.record.ExceptionCode);
    state.pending(code, &state.pointers);
    throw cwrpexception{code};
}

namespace {

#if defined(__x86_64__)
// A function is entered with the stack 8 bytes below a 16-byte boundary. Where the fault left the stack on a
// boundary (a leaf function, a prologue), this stub reserves 32 more bytes before it calls the thrower; its
// unwind information says so, and the faulting frame unwinds unchanged.
extern "C" void tarvoThrowTranslatedAligned();
asm(R"(
    .text
    .p2align 4
    .globl tarvoThrowTranslatedAligned
    .def tarvoThrowTranslatedAligned; .scl 2; .type 32; .endef
    .seh_proc tarvoThrowTranslatedAligned
tarvoThrowTranslatedAligned:
    subq $32, %rsp
    .seh_stackalloc 32
    .seh_endprologue
    call tarvoThrowTranslated
    int3
    .seh_endproc
)");

void resumeInThrower(CONTEXT& context) noexcept {
    context.Rsp -= sizeof(DWORD64);
    *reinterpret_cast<DWORD64*>(context.Rsp) = context.Rip + 1;
    context.Rip = (context.Rsp & 15) == 8 ? reinterpret_cast<DWORD64>(&tarvoThrowTranslated)
                                          : reinterpret_cast<DWORD64>(&tarvoThrowTranslatedAligned);
}
#elif defined(__i386__)
void resumeInThrower(CONTEXT& context) noexcept {
    context.Esp -= sizeof(DWORD);
    *reinterpret_cast<DWORD*>(context.Esp) = context.Eip + 1;
    context.Eip = reinterpret_cast<DWORD>(&tarvoThrowTranslated);
}
#else
#error "the structured-exception translator knows x86_64 and i686 only"
#endif

LONG CALLBACK onException(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    if (!isHardwareException(record.ExceptionCode)) return EXCEPTION_CONTINUE_SEARCH;
    Translation* module = installed.load(std::memory_order_acquire);
    if (module == nullptr || !module->inModule(record.ExceptionAddress)) return EXCEPTION_CONTINUE_SEARCH;
    ThreadTranslation* state = module->current();
    // A fault inside the translator itself (or in a dump it writes) takes its course: it is not translated again.
    if (state == nullptr || state->translator == nullptr || state->pending != nullptr) return EXCEPTION_CONTINUE_SEARCH;
    state->pending = state->translator;
    state->record = record;
    state->record.ExceptionRecord = nullptr;
    state->context = *pointers->ContextRecord;
    state->context.ContextFlags &= CONTEXT_ALL;  // the extended state lies beyond the copy
    state->pointers = EXCEPTION_POINTERS{&state->record, &state->context};
    resumeInThrower(*pointers->ContextRecord);
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

bool isHardwareException(DWORD code) noexcept {
    switch (code) {
        case EXCEPTION_ACCESS_VIOLATION:
        case EXCEPTION_IN_PAGE_ERROR:
        case EXCEPTION_ILLEGAL_INSTRUCTION:
        case EXCEPTION_PRIV_INSTRUCTION:
        case EXCEPTION_DATATYPE_MISALIGNMENT:
        case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
        case EXCEPTION_INT_DIVIDE_BY_ZERO:
        case EXCEPTION_INT_OVERFLOW:
        case EXCEPTION_FLT_DENORMAL_OPERAND:
        case EXCEPTION_FLT_DIVIDE_BY_ZERO:
        case EXCEPTION_FLT_INEXACT_RESULT:
        case EXCEPTION_FLT_INVALID_OPERATION:
        case EXCEPTION_FLT_OVERFLOW:
        case EXCEPTION_FLT_STACK_CHECK:
        case EXCEPTION_FLT_UNDERFLOW:
        case 0xC00002B4:  // STATUS_FLOAT_MULTIPLE_FAULTS (SSE)
        case 0xC00002B5:  // STATUS_FLOAT_MULTIPLE_TRAPS (SSE)
            return true;
        default:
            return false;
    }
}

SeTranslatorFunction setSeTranslator(SeTranslatorFunction translator) noexcept {
    // Clearing needs no handler: a dump written from the heap-corruption handler clears before any was made.
    Translation* module = translator != nullptr ? &translation() : installed.load(std::memory_order_acquire);
    ThreadTranslation* state = module != nullptr ? module->current() : nullptr;
    if (state == nullptr) {
        if (translator == nullptr) return nullptr;  // nothing to clear: no state is made for it
        state = &module->own();
    }
    return std::exchange(state->translator, translator);
}

SeTranslatorFunction currentSeTranslator() noexcept {
    const Translation* module = installed.load(std::memory_order_acquire);
    const ThreadTranslation* state = module != nullptr ? module->current() : nullptr;
    return state != nullptr ? state->translator : nullptr;
}

void translateStructuredException(unsigned int code, EXCEPTION_POINTERS* pointers) {
    {
        const ScopedSeTranslator none(nullptr);  // a fault while dumping is not translated again
        writeCrashDump(pointers);
    }
    throw cwrpexception{code};
}
