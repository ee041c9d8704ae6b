#pragma once
// Per-thread structured-exception translator: the hook through which a hardware exception raised while a
// translator is installed becomes a C++ exception (cwrpexception) at the faulting point.
#include <windows.h>

using SeTranslatorFunction = void (*)(unsigned int code, EXCEPTION_POINTERS* pointers);

// Installs `translator` for the calling thread and returns the one it replaces.
SeTranslatorFunction setSeTranslator(SeTranslatorFunction translator) noexcept;
SeTranslatorFunction currentSeTranslator() noexcept;

// The library's translator: throws cwrpexception with the structured-exception code.
[[noreturn]] void translateStructuredException(unsigned int code, EXCEPTION_POINTERS* pointers);

// Installs the library's translator for a scope and puts the previous one back on every way out.
class ScopedSeTranslator {
public:
    ScopedSeTranslator() noexcept : previous_(setSeTranslator(&translateStructuredException)) {}
    ScopedSeTranslator(const ScopedSeTranslator&) = delete;
    ScopedSeTranslator& operator=(const ScopedSeTranslator&) = delete;
    ~ScopedSeTranslator() { setSeTranslator(previous_); }

private:
    SeTranslatorFunction previous_;
};
