#include "runtime/crashdump/setranslator.h"

#include "runtime/errors/vexception.h"

namespace {
thread_local SeTranslatorFunction threadTranslator = nullptr;
}

SeTranslatorFunction setSeTranslator(SeTranslatorFunction translator) noexcept {
    SeTranslatorFunction previous = threadTranslator;
    threadTranslator = translator;
    return previous;
}

SeTranslatorFunction currentSeTranslator() noexcept { return threadTranslator; }

void translateStructuredException(unsigned int code, EXCEPTION_POINTERS*) {
    // No translation while this one runs, so that a fault in here is not translated again.
    const SeTranslatorFunction previous = setSeTranslator(nullptr);
    struct Restore {
        SeTranslatorFunction previous;
        ~Restore() { setSeTranslator(previous); }
    } restore{previous};
    throw cwrpexception{code};
}
