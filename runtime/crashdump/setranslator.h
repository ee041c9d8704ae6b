#pragma once
// Per-thread structured-exception translator: a hardware exception (access violation, division by zero and
// the like) raised in this module's code while the faulting thread has a translator installed becomes a call
// of that translator, which throws a C++ exception (cwrpexception) from the faulting point. Frames unwind
// as for any other exception: destructors run and the nearest catch takes it.
//
// How: one process-wide vectored handler of this module (installed with the first translator) saves the
// fault's record and context, and resumes the thread in a thrower whose return address is the faulting
// instruction (plus one, so that the unwinder places the caller inside the instruction's try region). The
// code is compiled with -fnon-call-exceptions, so that every instruction that can fault is covered.
#include <windows.h>

using SeTranslatorFunction = void (*)(unsigned int code, EXCEPTION_POINTERS* pointers);

// Installs `translator` for the calling thread and returns the one it replaces.
SeTranslatorFunction setSeTranslator(SeTranslatorFunction translator) noexcept;
SeTranslatorFunction currentSeTranslator() noexcept;

// The library's translator: writes a crash dump (when dumps are enabled), then throws cwrpexception with the
// structured-exception code.
[[noreturn]] void translateStructuredException(unsigned int code, EXCEPTION_POINTERS* pointers);

// True for the exception codes of hardware faults that a translator is given: access violations, in-page
// errors, illegal and privileged instructions, misalignment, array bounds, the integer and floating-point
// faults. Not for software exceptions (C++ throws, RaiseException), breakpoints, single steps, guard pages,
// stack overflows (nothing is left to unwind on) or heap corruption.
bool isHardwareException(DWORD code) noexcept;

// Installs a translator for a scope and puts the previous one back on every way out.
class ScopedSeTranslator {
public:
    explicit ScopedSeTranslator(SeTranslatorFunction translator = &translateStructuredException) noexcept
        : previous_(setSeTranslator(translator)) {}
    ScopedSeTranslator(const ScopedSeTranslator&) = delete;
    ScopedSeTranslator& operator=(const ScopedSeTranslator&) = delete;
    ~ScopedSeTranslator() { setSeTranslator(previous_); }

private:
    SeTranslatorFunction previous_;
};
