#pragma once
// Secrets in logged text: the value after a known option or key is replaced by one asterisk.
#include <span>
#include <string>

struct MaskPair {
    const wchar_t* opening;
    const wchar_t* closing;
};

std::wstring mask(const std::wstring& text, const std::wstring& opening, const std::wstring& closing);
// Applies the pairs in order, each to the previous one's result.
std::wstring maskAll(std::wstring text, std::span<const MaskPair> pairs);

// The pairs for action scripts, for logged command lines, and for the PHP action's command text.
std::span<const MaskPair> engineMaskPairs() noexcept;
std::span<const MaskPair> commandMaskPairs() noexcept;
std::span<const MaskPair> phpMaskPairs() noexcept;

// An action script (or text taken from one) made fit for the log.
inline std::wstring maskScript(const std::wstring& text) { return maskAll(text, engineMaskPairs()); }
