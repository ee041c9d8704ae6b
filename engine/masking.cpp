#include "engine/masking.h"

namespace {
const MaskPair enginePairs[] = {
    {L"&quot;--password=", L"&quot;"},
    {L"-password=\"", L"\""},
    {L"-password=", L" "},
    {L"-passwd \"", L"\""},
    {L"-password ", L"\""},
    {L",-password,", L"\""},
    {L"-database-user-password ", L" "},
    {L"_PASSWORD$=", L"\""},
    {L"@@DATABASE_PASSWORD@@=", L","},
    {L"@@DB_USER_PASSWORD@@=", L"\""},
};
const MaskPair commandPairs[] = {
    {L"-database-user-password ", L" "},
    {L"-password=\"", L"\""},
    {L"-password=", L" "},
    {L"-passwd \"", L"\""},
    {L"-password ", L"\""},
};
const MaskPair phpPairs[] = {
    {L"-password ", L"'"},
};
}  // namespace

std::wstring mask(const std::wstring& text, const std::wstring& opening, const std::wstring& closing) {
    std::wstring result;
    size_t position = 0;
    for (;;) {
        const size_t start = text.find(opening, position);
        if (start == std::wstring::npos) {
            result.append(text, position, std::wstring::npos);
            return result;
        }
        const size_t valueStart = start + opening.size();
        result.append(text, position, valueStart - position);
        result += L'*';
        // The value's first character never counts as its closing delimiter.
        const size_t close = text.find(closing, valueStart + 1);
        if (close == std::wstring::npos) return result;
        position = close;
    }
}

std::wstring maskAll(std::wstring text, std::span<const MaskPair> pairs) {
    for (const MaskPair& pair : pairs) text = mask(text, pair.opening, pair.closing);
    return text;
}

std::span<const MaskPair> engineMaskPairs() noexcept { return enginePairs; }
std::span<const MaskPair> commandMaskPairs() noexcept { return commandPairs; }
std::span<const MaskPair> phpMaskPairs() noexcept { return phpPairs; }
