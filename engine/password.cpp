#include "engine/password.h"

#include <bcrypt.h>

#include <string_view>
#include <utility>

#include "engine/frame.h"
#include "runtime/threads/sync.h"

namespace {

constexpr std::wstring_view passwordClasses[] = {
    L"1234567890",
    L"ABCDEFGHIJKLMNOPQRSTUVWXYZ",
    L"abcdefghijklmnopqrstuvwxyz",
    L"!@#$%^&*?_~",
};

void closeAlgorithm(BCRYPT_ALG_HANDLE algorithm) noexcept { ::BCryptCloseAlgorithmProvider(algorithm, 0); }
using unique_algorithm = tarvo::unique_any<BCRYPT_ALG_HANDLE, closeAlgorithm, tarvo::detail::nullValue<BCRYPT_ALG_HANDLE>>;

[[noreturn]] void randomFailed(const wchar_t* call, NTSTATUS status) {
    throwOsError(call, static_cast<DWORD>(status), errorFrame(L"", "generatePassword"));
}

uint32_t random32() {
    // An opened RNG provider works from Windows Vista on (the system-preferred one only from Windows 7).
    static unique_algorithm algorithm;
    static OnceRetrying opening;
    opening.run([] {
        if (const NTSTATUS status = ::BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_RNG_ALGORITHM, nullptr, 0);
            status < 0)
            randomFailed(L"BCryptOpenAlgorithmProvider", status);
    });
    uint32_t value = 0;
    if (const NTSTATUS status = ::BCryptGenRandom(algorithm.get(), reinterpret_cast<PUCHAR>(&value), sizeof value, 0);
        status < 0)
        randomFailed(L"BCryptGenRandom", status);
    return value;
}

}  // namespace

uint32_t randomBelow(uint32_t bound) {
    // Rejecting the top partial range keeps every residue equally likely.
    const uint32_t limit = UINT32_MAX - (UINT32_MAX % bound + 1) % bound;
    for (;;) {
        const uint32_t value = random32();
        if (value <= limit) return value % bound;
    }
}

std::wstring generatePassword(int32_t length) {
    if (length < 1) return {};
    std::wstring result;
    result.reserve(static_cast<size_t>(length));
    for (int32_t i = 0; i < length; ++i) {
        const std::wstring_view characters = passwordClasses[i % 4];
        result += characters[randomBelow(static_cast<uint32_t>(characters.size()))];
    }
    // Fisher-Yates: every arrangement equally likely, so no position favours a class.
    for (uint32_t i = static_cast<uint32_t>(length) - 1; i > 0; --i) std::swap(result[i], result[randomBelow(i + 1)]);
    return result;
}

UINT runGetPassword(MSIHANDLE install) {
    return runCustomAction(install, "GetPassword", L"GetPassword", [](vmsi& session) -> UINT {
        std::wstring password = generatePassword(16);
        const std::wstring target = session.GetProperty(passwordTargetProperty);
        session.SetSecretProperty(target, password);
        ::SecureZeroMemory(password.data(), password.size() * sizeof(wchar_t));
        return ERROR_SUCCESS;
    });
}
