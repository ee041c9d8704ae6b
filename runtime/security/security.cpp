#include "runtime/security/security.h"

#include <sddl.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <tuple>

#include "runtime/errors/format.h"
#include "runtime/errors/vexception.h"
#include "runtime/filesystem/vfilename.h"

namespace {

constexpr SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
constexpr SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;

std::vector<BYTE> copySid(PSID sid) {
    const DWORD length = ::GetLengthSid(sid);
    std::vector<BYTE> bytes(length);
    if (!::CopySid(length, bytes.data(), sid)) throwRuntimeError(L"Unable to copy a sid", ::GetLastError());
    return bytes;
}

tarvo::unique_sid allocateSid(SID_IDENTIFIER_AUTHORITY authority, std::initializer_list<DWORD> subAuthorities) {
    DWORD sub[8] = {};
    if (subAuthorities.size() == 0 || subAuthorities.size() > 8) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return {};
    }
    std::copy(subAuthorities.begin(), subAuthorities.end(), sub);
    tarvo::unique_sid sid;
    if (!::AllocateAndInitializeSid(&authority, static_cast<BYTE>(subAuthorities.size()), sub[0], sub[1], sub[2],
                                    sub[3], sub[4], sub[5], sub[6], sub[7], sid.put()))
        return {};
    return sid;
}

// A TOKEN_INFORMATION_CLASS block, retried once with the size the system asks for.
std::vector<BYTE> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS type, DWORD firstSize) {
    std::vector<BYTE> buffer(firstSize);
    DWORD needed = 0;
    if (!::GetTokenInformation(token, type, buffer.data(), static_cast<DWORD>(buffer.size()), &needed)) {
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) throwRuntimeError(L"Unable to get token information", ::GetLastError());
        buffer.resize(needed);
        if (!::GetTokenInformation(token, type, buffer.data(), static_cast<DWORD>(buffer.size()), &needed))
            throwRuntimeError(L"Unable to get token information", ::GetLastError());
    }
    return buffer;
}

bool lookupPrivilege(const std::wstring& name, LUID& luid) {
    return ::LookupPrivilegeValueW(nullptr, name.c_str(), &luid) != FALSE;
}

// AdjustTokenPrivileges reports a privilege the token lacks only through the last error (1300).
bool adjustPrivilege(HANDLE token, const LUID& luid, bool enable) {
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = luid;
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    ::SetLastError(ERROR_SUCCESS);
    return ::AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) && ::GetLastError() == ERROR_SUCCESS;
}

constexpr BYTE kInheritOnly = INHERIT_ONLY_ACE;
constexpr BYTE kInherited = INHERITED_ACE;
constexpr DWORD kPlainHeaderSize = sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);

bool plainLayout(BYTE type) {
    return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_DENIED_ACE_TYPE || type == SYSTEM_AUDIT_ACE_TYPE ||
           type == SYSTEM_ALARM_ACE_TYPE;
}

bool isDenial(const security::AclEntry& entry) {
    return entry.type == ACCESS_DENIED_ACE_TYPE || entry.type == ACCESS_DENIED_OBJECT_ACE_TYPE;
}

// The header and mask as they lie in memory: the second sort key of the merges.
std::array<BYTE, kPlainHeaderSize> fixedPart(const security::AclEntry& entry) {
    std::array<BYTE, kPlainHeaderSize> bytes{};
    const WORD size = static_cast<WORD>(kPlainHeaderSize + entry.sid.length());
    bytes[0] = entry.type;
    bytes[1] = entry.flags;
    std::memcpy(&bytes[2], &size, sizeof size);
    std::memcpy(&bytes[4], &entry.mask, sizeof entry.mask);
    return bytes;
}

// Orders merged entries: type, then the fixed part, then the SID (shorter first, then bytewise).
bool mergeOrder(const security::AclEntry& a, const security::AclEntry& b) {
    if (a.type != b.type) return a.type < b.type;
    const auto fa = fixedPart(a), fb = fixedPart(b);
    if (const int c = std::memcmp(fa.data(), fb.data(), fa.size()); c != 0) return c < 0;
    if (a.sid.length() != b.sid.length()) return a.sid.length() < b.sid.length();
    return a.sid.bytes() < b.sid.bytes();
}

template <typename Key, typename Combine>
std::vector<security::AclEntry> mergeBy(const std::vector<security::AclEntry>& entries, Key key, Combine combine,
                                        bool fileObject, bool clearInherited) {
    std::vector<security::AclEntry> merged;
    std::vector<security::AclEntry> opaque;
    std::map<decltype(key(entries.front())), size_t> index;
    for (security::AclEntry entry : entries) {
        if (!entry.plain()) {
            opaque.push_back(std::move(entry));
            continue;
        }
        if (fileObject) entry.mask = security::mapFileGeneric(entry.mask);
        const auto k = key(entry);
        if (auto found = index.find(k); found != index.end())
            combine(merged[found->second], entry);
        else {
            index.emplace(k, merged.size());
            merged.push_back(std::move(entry));
        }
    }
    // Cleared on the merged result (the flags took part in the comparison as they were).
    if (clearInherited) {
        for (security::AclEntry& entry : merged) entry.flags &= static_cast<BYTE>(~kInherited);
        for (security::AclEntry& entry : opaque) {
            entry.flags &= static_cast<BYTE>(~kInherited);
            entry.opaque[1] = entry.flags;
        }
    }
    std::sort(merged.begin(), merged.end(), mergeOrder);
    merged.insert(merged.end(), std::make_move_iterator(opaque.begin()), std::make_move_iterator(opaque.end()));
    return merged;
}

// File names reach the system in their extended-length form, so that paths over 260 characters work;
// messages keep the caller's name.
std::wstring systemName(const std::wstring& name, SE_OBJECT_TYPE type) {
    return type == SE_FILE_OBJECT ? VFileName::toLongPath(name) : name;
}

// Where an object entry keeps its SID: after the optional object-type GUIDs.
PSID objectEntrySid(const ACE_HEADER* header) {
    const auto* ace = reinterpret_cast<const ACCESS_DENIED_OBJECT_ACE*>(header);
    const BYTE* p = reinterpret_cast<const BYTE*>(&ace->ObjectType);
    if (ace->Flags & ACE_OBJECT_TYPE_PRESENT) p += sizeof(GUID);
    if (ace->Flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) p += sizeof(GUID);
    return const_cast<BYTE*>(p);
}

}  // namespace

VSID::VSID(PSID sid) : bytes_(copySid(sid)) {}

VSID::VSID(SID_IDENTIFIER_AUTHORITY authority, std::initializer_list<DWORD> subAuthorities) {
    tarvo::unique_sid sid = allocateSid(authority, subAuthorities);
    if (!sid) throwRuntimeError(L"Unable to allocate and initialize sid", ::GetLastError());
    bytes_ = copySid(sid.get());
}

VSID VSID::wellKnown(SID_IDENTIFIER_AUTHORITY authority, std::initializer_list<DWORD> subAuthorities,
                     const char* function) {
    tarvo::unique_sid sid = allocateSid(authority, subAuthorities);
    if (!sid) throwOsError(L"AllocateAndInitializeSid", ::GetLastError(), errorFrame(L"", function));
    return VSID(sid.get());
}

VSID VSID::everyone() { return wellKnown(worldAuthority, {SECURITY_WORLD_RID}, "VSID::everyone"); }

VSID VSID::admins() {
    return wellKnown(ntAuthority, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}, "VSID::admins");
}

VSID VSID::users() {
    return wellKnown(ntAuthority, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS}, "VSID::users");
}

VSID VSID::guests() {
    return wellKnown(ntAuthority, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_GUESTS}, "VSID::guests");
}

VSID VSID::system() { return wellKnown(ntAuthority, {SECURITY_LOCAL_SYSTEM_RID}, "VSID::system"); }

std::wstring VSID::toString() const {
    wchar_t* text = nullptr;
    if (empty() || !::ConvertSidToStringSidW(get(), &text))
        throwRuntimeError(L"Unable to convert a SID to it's string form", ::GetLastError());
    tarvo::unique_hlocal owner(text);
    return text;
}

std::wstring VSID::findAccount(std::wstring* domain) const {
    std::wstring name(260, L'\0'), domainName(260, L'\0');
    DWORD nameSize = 260, domainSize = 260;
    SID_NAME_USE use;
    BOOL found = ::LookupAccountSidW(nullptr, get(), name.data(), &nameSize, domainName.data(), &domainSize, &use);
    if (!found && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        name.assign(nameSize, L'\0');
        domainName.assign(domainSize, L'\0');
        found = ::LookupAccountSidW(nullptr, get(), name.data(), &nameSize, domainName.data(), &domainSize, &use);
    }
    if (!found) throwOsError(L"LookupAccountName", ::GetLastError(), errorFrame(L"", "VSID::findAccount"));
    name.resize(std::wcslen(name.c_str()));
    if (domain) *domain = domainName.substr(0, std::wcslen(domainName.c_str()));
    return name;
}

SecurityDescriptor::SecurityDescriptor(const AccessList& list, bool inheritHandle) {
    constexpr const char* function = "SecurityDescriptor::SecurityDescriptor";
    std::vector<EXPLICIT_ACCESSW> entries;
    try {
        entries.reserve(list.entries().size());
    } catch (const std::bad_alloc&) {
        throw std::overflow_error("Out of memory");
    }
    for (const AccessList::Entry& entry : list.entries()) {
        EXPLICIT_ACCESSW access{};
        access.grfAccessPermissions = entry.mask;
        access.grfAccessMode = SET_ACCESS;
        access.grfInheritance = entry.inheritance;
        access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        access.Trustee.TrusteeType = entry.group ? TRUSTEE_IS_GROUP : TRUSTEE_IS_USER;
        access.Trustee.ptstrName = static_cast<LPWSTR>(entry.sid.get());
        entries.push_back(access);
    }
    PACL acl = nullptr;
    if (const DWORD result = ::SetEntriesInAclW(static_cast<ULONG>(entries.size()), entries.data(), nullptr, &acl);
        result != ERROR_SUCCESS)
        throwOsError(L"SetEntriesInAcl", result, errorFrame(L"", function));
    dacl_.reset(acl);

    descriptor_.reset(::LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
    if (!descriptor_) throw vexception(L"Out of memory", errorFrame(L"", function));
    auto check = [&](BOOL ok, const wchar_t* call) {
        if (ok) return;
        const DWORD error = ::GetLastError();
        descriptor_.reset();
        dacl_.reset();
        throwOsError(call, error, errorFrame(L"", function));
    };
    check(::InitializeSecurityDescriptor(descriptor_.get(), SECURITY_DESCRIPTOR_REVISION),
          L"InitializeSecurityDescriptor");
    check(::SetSecurityDescriptorDacl(descriptor_.get(), TRUE, dacl(), FALSE), L"SetSecurityDescriptorDacl");
    // The descriptor is absolute: it points at these copies, which live as long as it does.
    owner_ = list.owner();
    group_ = list.group();
    if (owner_) check(::SetSecurityDescriptorOwner(descriptor_.get(), owner_->get(), FALSE), L"SetSecurityDescriptorOwner");
    if (group_) check(::SetSecurityDescriptorGroup(descriptor_.get(), group_->get(), FALSE), L"SetSecurityDescriptorGroup");

    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = descriptor_.get();
    attributes_.bInheritHandle = inheritHandle;
    valid_ = true;
}

AccessList SecurityDescriptor::everyoneFullAccess() {
    AccessList list;
    list.add(VSID::everyone(), GENERIC_ALL, true);
    return list;
}

namespace security {

tarvo::unique_handle currentToken(DWORD access) {
    tarvo::unique_handle token;
    if (::OpenThreadToken(::GetCurrentThread(), access, FALSE, token.put())) return token;
    if (::GetLastError() != ERROR_NO_TOKEN) throwRuntimeError(L"Unable to open a thread token", ::GetLastError());
    if (!::OpenProcessToken(::GetCurrentProcess(), access, token.put()))
        throwRuntimeError(L"Unable to open a process token", ::GetLastError());
    return token;
}

VSID tokenUser(HANDLE token) {
    const std::vector<BYTE> buffer = tokenInformation(token, TokenUser, 256);
    return VSID(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid);
}

std::vector<VSID> tokenGroups(HANDLE token) {
    const std::vector<BYTE> buffer = tokenInformation(token, TokenGroups, 1024);
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    std::vector<VSID> sids;
    for (DWORD i = 0; i < groups->GroupCount; ++i) sids.emplace_back(groups->Groups[i].Sid);
    return sids;
}

bool tokenMemberOf(HANDLE token, const VSID& group) {
    const std::vector<BYTE> buffer = tokenInformation(token, TokenGroups, 1024);
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        const DWORD attributes = groups->Groups[i].Attributes;
        if ((attributes & SE_GROUP_ENABLED) && !(attributes & SE_GROUP_USE_FOR_DENY_ONLY) &&
            ::EqualSid(groups->Groups[i].Sid, group.get()))
            return true;
    }
    return false;
}

VSID currentUser() { return tokenUser(currentToken(TOKEN_QUERY | READ_CONTROL).get()); }

VSID processUser() {
    tarvo::unique_handle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | READ_CONTROL, token.put()))
        throwRuntimeError(L"Unable to open a process token", ::GetLastError());
    return tokenUser(token.get());
}

void setPrivilege(const std::wstring& name, bool enable) {
    constexpr DWORD access = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;
    tarvo::unique_handle token;
    if (!::OpenThreadToken(::GetCurrentThread(), access, TRUE, token.put())) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_NO_TOKEN) throwOsError(L"OpenThreadToken", error, errorFrame(L"", "setPrivilege"));
        if (!::OpenProcessToken(::GetCurrentProcess(), access, token.put()))
            throwOsError(L"OpenProcessToken", ::GetLastError(), errorFrame(L"", "setPrivilege"));
    }
    LUID luid;
    if (!lookupPrivilege(name, luid))
        throwOsError(L"LookupPrivilegeValue", ::GetLastError(), errorFrame(L"", "setPrivilege"));
    if (!adjustPrivilege(token.get(), luid, enable))
        throwOsError(L"AdjustTokenPrivileges", ::GetLastError(), errorFrame(L"", "setPrivilege"));
}

void enablePrivilege(const std::wstring& name) {
    LUID luid;
    if (!lookupPrivilege(name, luid))
        throwRuntimeError(formatString(L"Unable to find privilege (%s)", name), ::GetLastError());
    tarvo::unique_handle token = currentToken(TOKEN_ADJUST_PRIVILEGES);
    if (!adjustPrivilege(token.get(), luid, true))
        throwRuntimeError(formatString(L"Unable to adjust privilege (%s)", name), ::GetLastError());
}

bool hasPrivilege(const std::wstring& name) {
    LUID luid;
    if (!lookupPrivilege(name, luid))
        throwRuntimeError(formatString(L"The privilege (%s) is not found", name), ::GetLastError());
    tarvo::unique_handle token = currentToken(TOKEN_QUERY | READ_CONTROL);
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenPrivileges, nullptr, 0, &size);
    if (size == 0) throwRuntimeError(L"Unable to get token privileges", ::GetLastError());
    std::vector<BYTE> buffer;
    try {
        buffer.resize(size);
    } catch (const std::bad_alloc&) {
        throwRuntimeError(formatString(L"Unable to allocate memory for token privileges (%d) bytes", static_cast<int>(size)),
                          ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!::GetTokenInformation(token.get(), TokenPrivileges, buffer.data(), size, &size))
        throwRuntimeError(L"Unable to get token privileges", ::GetLastError());
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        const LUID& held = privileges->Privileges[i].Luid;
        if (held.LowPart == luid.LowPart && held.HighPart == luid.HighPart) return true;
    }
    return false;
}

tarvo::unique_hlocal getFileSecurityInfo(const std::wstring& path, SECURITY_INFORMATION information, PSID* owner,
                                         PSID* group, PACL* dacl, PACL* sacl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD result = ::GetNamedSecurityInfoW(VFileName::toLongPath(path).c_str(), SE_FILE_OBJECT, information,
                                                 owner, group, dacl, sacl, &descriptor);
    if (result != ERROR_SUCCESS)
        throwOsError(formatString(L"GetNamedSecurityInfo(%s)", path), result, errorFrame(L"", "getFileSecurityInfo"));
    return tarvo::unique_hlocal(descriptor);
}

void setFileAccess(const std::wstring& path, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor) {
    if (!::SetFileSecurityW(VFileName::toLongPath(path).c_str(), information, descriptor))
        throwOsError(formatString(L"SetFileSecurity(%s)", path), ::GetLastError(), errorFrame(L"", "setFileAccess"));
}

std::vector<AclEntry> readAcl(const ACL* acl) {
    std::vector<AclEntry> entries;
    if (!acl) return entries;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(const_cast<ACL*>(acl), i, &ace)) throwRuntimeError(L"Unable to get ACL ACE", ::GetLastError());
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        AclEntry entry;
        entry.type = header->AceType;
        entry.flags = header->AceFlags;
        entry.mask = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header)->Mask;
        const BYTE* bytes = static_cast<const BYTE*>(ace);
        if (plainLayout(header->AceType)) {
            PSID sid = const_cast<DWORD*>(&reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header)->SidStart);
            entry.sid = VSID(sid);
            if (kPlainHeaderSize + entry.sid.length() == header->AceSize) {
                entries.push_back(std::move(entry));
                continue;
            }
        } else if (header->AceType == ACCESS_DENIED_OBJECT_ACE_TYPE || header->AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE) {
            entry.sid = VSID(objectEntrySid(header));
        }
        entry.opaque.assign(bytes, bytes + header->AceSize);
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<DWORD> buildAcl(const std::vector<AclEntry>& entries) {
    DWORD size = sizeof(ACL);
    bool objectEntries = false;
    for (const AclEntry& entry : entries) {
        size += entry.plain() ? kPlainHeaderSize + entry.sid.length() : static_cast<DWORD>(entry.opaque.size());
        objectEntries |= !entry.plain() && entry.type >= ACCESS_MIN_MS_OBJECT_ACE_TYPE &&
                         entry.type <= ACCESS_MAX_MS_OBJECT_ACE_TYPE;
    }
    size = (size + 3) & ~3u;
    std::vector<DWORD> buffer(size / sizeof(DWORD));
    auto* acl = reinterpret_cast<ACL*>(buffer.data());
    if (!::InitializeAcl(acl, size, objectEntries ? ACL_REVISION_DS : ACL_REVISION))
        throwRuntimeError(L"Unable to get ACL size", ::GetLastError());
    for (const AclEntry& entry : entries) {
        std::vector<BYTE> bytes = entry.opaque;
        if (entry.plain()) {
            const auto fixed = fixedPart(entry);
            bytes.assign(fixed.begin(), fixed.end());
            bytes.insert(bytes.end(), entry.sid.bytes().begin(), entry.sid.bytes().end());
        }
        if (!::AddAce(acl, acl->AclRevision, MAXDWORD, bytes.data(), static_cast<DWORD>(bytes.size())))
            throwRuntimeError(L"Unable to add ACE to ACL", ::GetLastError());
    }
    return buffer;
}

ACCESS_MASK mapFileGeneric(ACCESS_MASK mask) noexcept {
    struct Mapping {
        ACCESS_MASK generic, specific;
    };
    constexpr Mapping mappings[] = {{GENERIC_READ, 0x00120089}, {GENERIC_WRITE, 0x00120116},
                                    {GENERIC_EXECUTE, 0x001200A0}, {GENERIC_ALL, 0x001F01FF}};
    for (const Mapping& m : mappings)
        if (mask & m.generic) mask = (mask & ~m.generic) | m.specific;
    return mask;
}

std::vector<AclEntry> mergeFlags(const std::vector<AclEntry>& entries, bool fileObject) {
    // INHERIT_ONLY survives only when every merged entry has it: track it apart from the union.
    std::map<std::tuple<BYTE, ACCESS_MASK, std::vector<BYTE>>, bool> allInheritOnly;
    for (const AclEntry& e : entries)
        if (e.plain()) {
            auto key = std::make_tuple(e.type, fileObject ? mapFileGeneric(e.mask) : e.mask, e.sid.bytes());
            auto [it, added] = allInheritOnly.emplace(key, (e.flags & kInheritOnly) != 0);
            if (!added) it->second = it->second && (e.flags & kInheritOnly) != 0;
        }
    auto key = [](const AclEntry& e) { return std::make_tuple(e.type, e.mask, e.sid.bytes()); };
    std::vector<AclEntry> merged = mergeBy(
        entries, key, [](AclEntry& into, const AclEntry& from) { into.flags |= from.flags; }, fileObject, false);
    for (AclEntry& e : merged)
        if (e.plain() && !allInheritOnly.at(key(e))) e.flags &= static_cast<BYTE>(~kInheritOnly);
    std::sort(merged.begin(), std::find_if(merged.begin(), merged.end(), [](const AclEntry& e) { return !e.plain(); }),
              mergeOrder);
    return merged;
}

std::vector<AclEntry> mergeMasks(const std::vector<AclEntry>& entries, bool fileObject) {
    return mergeBy(
        entries, [](const AclEntry& e) { return std::make_tuple(e.type, e.flags, e.sid.bytes()); },
        [](AclEntry& into, const AclEntry& from) { into.mask |= from.mask; }, fileObject, true);
}

std::vector<AclEntry> withoutDenials(const std::vector<AclEntry>& entries, const std::vector<VSID>& sids) {
    std::vector<AclEntry> kept;
    for (const AclEntry& entry : entries)
        if (!isDenial(entry) || std::find(sids.begin(), sids.end(), entry.sid) == sids.end()) kept.push_back(entry);
    return kept;
}

namespace {
std::vector<DWORD> copyDacl(const ACL* dacl) {
    if (!dacl) return {};  // a null DACL: everyone has access, there is nothing to merge
    std::vector<DWORD> copy((dacl->AclSize + 3) / 4);
    std::memcpy(copy.data(), dacl, dacl->AclSize);
    return copy;
}
}  // namespace

std::vector<DWORD> getObjectDacl(const std::wstring& name, SE_OBJECT_TYPE type) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD result = ::GetNamedSecurityInfoW(systemName(name, type).c_str(), type, DACL_SECURITY_INFORMATION,
                                                 nullptr, nullptr, &dacl, nullptr, &descriptor);
    tarvo::unique_hlocal owner(descriptor);
    if (result != ERROR_SUCCESS)
        throwRuntimeError(formatString(L"Unable to get the object (%s) security info", name), result);
    return copyDacl(dacl);
}

std::vector<DWORD> getHandleDacl(HANDLE object, SE_OBJECT_TYPE type) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD result =
        ::GetSecurityInfo(object, type, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &descriptor);
    tarvo::unique_hlocal owner(descriptor);
    if (result != ERROR_SUCCESS) throwRuntimeError(L"Unable to get the object security info", result);
    return copyDacl(dacl);
}

void setHandleDacl(HANDLE object, SE_OBJECT_TYPE type, PACL dacl) {
    const DWORD result = ::SetSecurityInfo(object, type, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr);
    if (result != ERROR_SUCCESS) throwRuntimeError(L"Unable to set the object security info", result);
}

void takeOwnership(const std::wstring& name, SE_OBJECT_TYPE type) {
    if (hasPrivilege(SE_TAKE_OWNERSHIP_NAME)) enablePrivilege(SE_TAKE_OWNERSHIP_NAME);
    VSID user = currentUser();
    std::wstring target = systemName(name, type);
    const DWORD result = ::SetNamedSecurityInfoW(target.data(), type,
                                                 OWNER_SECURITY_INFORMATION, user.get(), nullptr, nullptr, nullptr);
    if (result != ERROR_SUCCESS) throwRuntimeError(formatString(L"Unable to set the object (%s) owner", name), result);
}

void setObjectDacl(const std::wstring& name, SE_OBJECT_TYPE type, PACL dacl) {
    constexpr SECURITY_INFORMATION information = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    std::wstring target = systemName(name, type);
    auto set = [&] { return ::SetNamedSecurityInfoW(target.data(), type, information, nullptr, nullptr, dacl, nullptr); };
    DWORD result = set();
    if (result == ERROR_ACCESS_DENIED) {
        takeOwnership(name, type);
        result = set();
    }
    if (result != ERROR_SUCCESS)
        throwRuntimeError(formatString(L"Unable to set the object (%s) security info", name), result);
}

std::vector<AclEntry> deleteAccessEntries(const std::vector<AclEntry>& current, bool fileObject, ACCESS_MASK mask,
                                          const VSID& user, const std::vector<VSID>& own) {
    constexpr BYTE inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    std::vector<AclEntry> entries = {AclEntry{ACCESS_ALLOWED_ACE_TYPE, inherit, mask, user, {}},
                                     AclEntry{ACCESS_ALLOWED_ACE_TYPE, inherit, mask, VSID::system(), {}}};
    const std::vector<AclEntry> kept = withoutDenials(mergeMasks(mergeFlags(current, fileObject), fileObject), own);
    entries.insert(entries.end(), kept.begin(), kept.end());
    return entries;
}

std::vector<AclEntry> grantDeleteAccess(const std::wstring& name, SE_OBJECT_TYPE type, ACCESS_MASK mask) {
    takeOwnership(name, type);
    const VSID user = processUser();
    const std::vector<DWORD> current = getObjectDacl(name, type);

    // Denials that could stop this process: its groups, its users (thread and process) and LocalSystem.
    tarvo::unique_handle token = currentToken(TOKEN_QUERY | READ_CONTROL);
    std::vector<VSID> own = tokenGroups(token.get());
    const VSID tokenOwner = tokenUser(token.get());
    own.push_back(tokenOwner);
    if (!(user == tokenOwner)) own.push_back(user);
    own.push_back(VSID::system());

    const std::vector<AclEntry> entries =
        deleteAccessEntries(readAcl(current.empty() ? nullptr : reinterpret_cast<const ACL*>(current.data())),
                            type == SE_FILE_OBJECT, mask, user, own);
    std::vector<DWORD> dacl = buildAcl(entries);
    setObjectDacl(name, type, reinterpret_cast<PACL>(dacl.data()));
    return entries;
}

}  // namespace security

void AdminsOnlySecurity::build(BYTE inheritance) {
    dacl_ = security::buildAcl({{ACCESS_ALLOWED_ACE_TYPE, inheritance, FILE_ALL_ACCESS, VSID::system(), {}},
                                {ACCESS_ALLOWED_ACE_TYPE, inheritance, FILE_ALL_ACCESS, VSID::admins(), {}}});
    if (!::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&descriptor_, TRUE, reinterpret_cast<PACL>(dacl_.data()), FALSE) ||
        !::SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        throwOsError(L"Security descriptor for SYSTEM and the Administrators", ::GetLastError(),
                     errorFrame(L"", "AdminsOnlySecurity::build"));
    attributes_ = {sizeof attributes_, &descriptor_, FALSE};
}
