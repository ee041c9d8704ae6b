#pragma once
// The annotate-and-rethrow convention, written once.
#include <exception>
#include <source_location>
#include <string>
#include <type_traits>

#include "runtime/crashdump/setranslator.h"
#include "runtime/errors/vexception.h"

// The five clauses (std::exception, vexception, _com_error, cwrpexception, anything else): turns the
// exception held by `error` into a plain vexception whose last frame is `frame`. A thread cancellation
// (ThreadCancelation::ThreadCanceled) is no failure and leaves unchanged.
vexception toVexception(std::exception_ptr error, ErrorFrame frame);

namespace annotate_detail {
template <typename Text>
std::wstring frameText(Text&& text) {
    if constexpr (std::is_invocable_v<Text>)
        return std::wstring(text());
    else
        return std::wstring(std::forward<Text>(text));
}
}  // namespace annotate_detail

// Runs `body` under the library's structured-exception translator. Whatever it throws leaves as a plain
// vexception with one more frame: `text` (a string, or a callable that builds it only on failure) and
// `function`.
template <typename Text, typename Body>
decltype(auto) annotate(const char* function, Text&& text, Body&& body,
                        std::source_location where = std::source_location::current()) {
    ScopedSeTranslator translator;
    try {
        return body();
    } catch (...) {
        throw toVexception(std::current_exception(),
                           ErrorFrame{annotate_detail::frameText(std::forward<Text>(text)), function,
                                      static_cast<int>(where.line())});
    }
}

// For the places that report instead of rethrowing (entry points, the engine, thread start routines):
// runs `body` and returns the rendered exception, or an empty string when it succeeded.
template <typename Text, typename Body>
std::wstring captureFailure(const char* function, Text&& text, Body&& body,
                            std::source_location where = std::source_location::current()) {
    try {
        annotate(function, std::forward<Text>(text), std::forward<Body>(body), where);
        return {};
    } catch (const vexception& e) {
        return e.toString();
    }
}
