#pragma once
// Security identifiers, descriptors, access lists, token privileges and the security of named objects.
#include <windows.h>
#include <aclapi.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "runtime/holder.h"

// Owns one SID (a private copy; the well-known ones are made with AllocateAndInitializeSid first).
class VSID {
public:
    VSID() = default;
    // Copies `sid`, which must be valid.
    explicit VSID(PSID sid);
    VSID(SID_IDENTIFIER_AUTHORITY authority, std::initializer_list<DWORD> subAuthorities);

    static VSID everyone();  // S-1-1-0
    static VSID admins();    // S-1-5-32-544
    static VSID users();     // S-1-5-32-545
    static VSID guests();    // S-1-5-32-546
    static VSID system();    // S-1-5-18

    PSID get() const noexcept { return bytes_.empty() ? nullptr : const_cast<BYTE*>(bytes_.data()); }
    bool empty() const noexcept { return bytes_.empty(); }
    DWORD length() const noexcept { return static_cast<DWORD>(bytes_.size()); }
    const std::vector<BYTE>& bytes() const noexcept { return bytes_; }

    // "S-1-5-18" and the like.
    std::wstring toString() const;
    // The account name on this machine (localised for the well-known groups); the domain when asked.
    std::wstring findAccount(std::wstring* domain = nullptr) const;

    friend bool operator==(const VSID& a, const VSID& b) noexcept { return a.bytes_ == b.bytes_; }

private:
    static VSID wellKnown(SID_IDENTIFIER_AUTHORITY authority, std::initializer_list<DWORD> subAuthorities,
                          const char* function);
    std::vector<BYTE> bytes_;
};

// The entries a security descriptor is built from, with copies of their SIDs.
class AccessList {
public:
    struct Entry {
        VSID sid;
        DWORD mask;
        DWORD inheritance;
        bool group;
    };

    // Access granted with SET_ACCESS, inherited by objects and containers.
    void add(VSID sid, DWORD mask, bool group) { add(std::move(sid), mask, group, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE); }
    void add(VSID sid, DWORD mask, bool group, DWORD inheritance) {
        entries_.push_back(Entry{std::move(sid), mask, inheritance, group});
    }
    void setOwner(VSID sid) { owner_ = std::move(sid); }
    void setGroup(VSID sid) { group_ = std::move(sid); }

    const std::vector<Entry>& entries() const noexcept { return entries_; }
    const std::optional<VSID>& owner() const noexcept { return owner_; }
    const std::optional<VSID>& group() const noexcept { return group_; }

private:
    std::vector<Entry> entries_;
    std::optional<VSID> owner_;
    std::optional<VSID> group_;
};

// An absolute security descriptor with its DACL and the security attributes that point at it.
class SecurityDescriptor {
public:
    SecurityDescriptor(const AccessList& entries, bool inheritHandle);
    SecurityDescriptor(const SecurityDescriptor&) = delete;
    SecurityDescriptor& operator=(const SecurityDescriptor&) = delete;

    bool valid() const noexcept { return valid_; }
    PACL dacl() const noexcept { return static_cast<PACL>(dacl_.get()); }
    PSECURITY_DESCRIPTOR descriptor() const noexcept { return descriptor_.get(); }
    SECURITY_ATTRIBUTES* attributes() noexcept { return &attributes_; }

    // Generic-all for Everyone: named mutexes and events that every account may open.
    static AccessList everyoneFullAccess();

private:
    bool valid_ = false;
    tarvo::unique_hlocal dacl_;
    tarvo::unique_hlocal descriptor_;
    SECURITY_ATTRIBUTES attributes_{};
    std::optional<VSID> owner_;
    std::optional<VSID> group_;
};

// Full access for LocalSystem and the Administrators only, protected from what the parent folder would pass
// on: for what holds dumps or old file contents. Built by hand (SetEntriesInAcl loads a library of its own,
// which a crash handler must not). `inheritance`: the flags of the two entries.
class AdminsOnlySecurity {
public:
    AdminsOnlySecurity() = default;
    AdminsOnlySecurity(const AdminsOnlySecurity&) = delete;
    AdminsOnlySecurity& operator=(const AdminsOnlySecurity&) = delete;
    void build(BYTE inheritance);
    SECURITY_DESCRIPTOR* descriptor() noexcept { return &descriptor_; }
    SECURITY_ATTRIBUTES* attributes() noexcept { return &attributes_; }

private:
    std::vector<DWORD> dacl_;
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
};

namespace security {

// The thread's impersonation token, or the process token when the thread is not impersonating.
tarvo::unique_handle currentToken(DWORD access);
VSID tokenUser(HANDLE token);
std::vector<VSID> tokenGroups(HANDLE token);
// True when the token holds `group` as an enabled group; an entry that only serves to deny access (the
// administrators of a filtered token) grants nothing and does not count.
bool tokenMemberOf(HANDLE token, const VSID& group);
VSID currentUser();  // user of the current token
VSID processUser();  // user of the process token

void setPrivilege(const std::wstring& name, bool enable);
void enablePrivilege(const std::wstring& name);
bool hasPrivilege(const std::wstring& name);

// The descriptor that holds the returned parts (any of the out pointers may be null).
tarvo::unique_hlocal getFileSecurityInfo(const std::wstring& path, SECURITY_INFORMATION information, PSID* owner,
                                         PSID* group, PACL* dacl, PACL* sacl);
void setFileAccess(const std::wstring& path, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor);

// One access-control entry taken apart. Entries whose layout is not the plain header-mask-SID form keep
// their bytes and are carried through unchanged.
struct AclEntry {
    BYTE type = 0;
    BYTE flags = 0;
    ACCESS_MASK mask = 0;
    VSID sid;
    std::vector<BYTE> opaque;  // the whole entry when it is not of the plain form
    bool plain() const noexcept { return opaque.empty(); }
};

std::vector<AclEntry> readAcl(const ACL* acl);
// A new ACL holding `entries` in order (heap block, DWORD aligned).
std::vector<DWORD> buildAcl(const std::vector<AclEntry>& entries);
// GENERIC_* bits replaced by the specific rights of files.
ACCESS_MASK mapFileGeneric(ACCESS_MASK mask) noexcept;
// Entries equal in type, mask and SID become one carrying the union of their flags (INHERIT_ONLY only
// when all carry it).
std::vector<AclEntry> mergeFlags(const std::vector<AclEntry>& entries, bool fileObject);
// Entries equal in type, flags and SID become one carrying the union of their masks; INHERITED is then
// cleared on every entry.
std::vector<AclEntry> mergeMasks(const std::vector<AclEntry>& entries, bool fileObject);
// Drops the access-denied entries of these SIDs.
std::vector<AclEntry> withoutDenials(const std::vector<AclEntry>& entries, const std::vector<VSID>& sids);

// The DACL of a kernel or user object by its handle (window stations, desktops), copied; empty for a null
// DACL (everyone has access). The handle needs READ_CONTROL, and WRITE_DAC to set it.
std::vector<DWORD> getHandleDacl(HANDLE object, SE_OBJECT_TYPE type);
void setHandleDacl(HANDLE object, SE_OBJECT_TYPE type, PACL dacl);

// Named objects (files, directories, ...): file names of any length, with or without the "\\?\" prefix.
std::vector<DWORD> getObjectDacl(const std::wstring& name, SE_OBJECT_TYPE type);
void takeOwnership(const std::wstring& name, SE_OBJECT_TYPE type);
void setObjectDacl(const std::wstring& name, SE_OBJECT_TYPE type, PACL dacl);
// What grantDeleteAccess sets: `mask` for `user` and LocalSystem, then the merged `current` entries less
// the denials of the `own` SIDs.
std::vector<AclEntry> deleteAccessEntries(const std::vector<AclEntry>& current, bool fileObject, ACCESS_MASK mask,
                                          const VSID& user, const std::vector<VSID>& own);
// Lets this process's user and LocalSystem delete the object: both get `mask` in front of the object's
// merged DACL, and the denials that would stop them are removed. Returns the entries it set, as a
// protected DACL.
std::vector<AclEntry> grantDeleteAccess(const std::wstring& name, SE_OBJECT_TYPE type, ACCESS_MASK mask);

}  // namespace security
