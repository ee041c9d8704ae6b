#include "runtime/errors/annotate.h"

#include <comdef.h>

#include <typeinfo>

#include "runtime/errors/codepage.h"
#include "runtime/threads/cancelation.h"

vexception toVexception(std::exception_ptr error, ErrorFrame frame) {
    try {
        std::rethrow_exception(error);
    } catch (const ThreadCancelation::ThreadCanceled&) {
        throw;  // a cancelled thread unwinds to its start routine, annotated by nobody
    } catch (const std::exception& e) {
        // A bare std::exception carries no message of its own.
        const char* what = typeid(e) == typeid(std::exception) ? nullptr : e.what();
        return vexception(wstr(what != nullptr && *what != '\0' ? what : "Unknown exception"), std::move(frame));
    } catch (const vexception& e) {
        vexception copy(e);
        copy.addFrame(std::move(frame));
        return copy;
    } catch (const _com_error& e) {
        return vexception(e, frame.text, frame.function, frame.line);
    } catch (const cwrpexception& e) {
        return vexception(toString(e), std::move(frame));
    } catch (...) {
        return vexception(L"Unexpected error", std::move(frame));
    }
}
