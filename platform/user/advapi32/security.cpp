// Security identifiers and the process's token: AllocateAndInitializeSid, FreeSid and
// CheckTokenMembership.
//
// A SID is laid out as on Windows (revision 1, the count of sub-authorities, the 6-byte identifier
// authority, then the sub-authorities), allocated here and freed by FreeSid. The process's token
// holds Everyone, Authenticated Users and BUILTIN\Users; it holds BUILTIN\Administrators only when
// the process runs elevated as an administrator, which is the machine's default and which
// WINSIM_TOKEN=standard in the process's environment turns off (see internal.h). As on Windows
// with User Account Control, an administrator's process that is not elevated counts as a
// standard user's here.
#include "internal.h"

#include <stdlib.h>
#include <string.h>

namespace winsim::user
{
namespace
{

constexpr BYTE kSidRevision = 1;

struct SidHeader
{
    BYTE Revision;
    BYTE SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    DWORD SubAuthority[1];
};

struct Group
{
    BYTE authority;
    BYTE count;
    DWORD rids[2];
    bool administratorsOnly;
};

// The groups of the process's token, by authority (its last byte) and relative identifiers.
constexpr Group kTokenGroups[] = {
    {1, 1, {SECURITY_WORLD_RID, 0}, false},
    {5, 1, {SECURITY_AUTHENTICATED_USER_RID, 0}, false},
    {5, 2, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS}, false},
    {5, 2, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}, true},
};

bool IsValid(const SidHeader* sid)
{
    return sid != nullptr && sid->Revision == kSidRevision &&
           sid->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES;
}

bool Matches(const SidHeader* sid, const Group& group)
{
    static const BYTE leading[5] = {0, 0, 0, 0, 0};
    if (sid->SubAuthorityCount != group.count || memcmp(sid->IdentifierAuthority.Value, leading, 5) != 0 ||
        sid->IdentifierAuthority.Value[5] != group.authority)
    {
        return false;
    }
    for (BYTE i = 0; i < group.count; ++i)
    {
        if (sid->SubAuthority[i] != group.rids[i])
        {
            return false;
        }
    }
    return true;
}

} // namespace
} // namespace winsim::user

using namespace winsim::user;

extern "C"
{

    BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority,
                                         BYTE nSubAuthorityCount, DWORD nSubAuthority0, DWORD nSubAuthority1,
                                         DWORD nSubAuthority2, DWORD nSubAuthority3, DWORD nSubAuthority4,
                                         DWORD nSubAuthority5, DWORD nSubAuthority6, DWORD nSubAuthority7,
                                         PSID* pSid)
    {
        if (pIdentifierAuthority == nullptr || pSid == nullptr || nSubAuthorityCount > 8)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const DWORD rids[8] = {nSubAuthority0, nSubAuthority1, nSubAuthority2, nSubAuthority3,
                               nSubAuthority4, nSubAuthority5, nSubAuthority6, nSubAuthority7};
        size_t size = offsetof(SidHeader, SubAuthority) + sizeof(DWORD) * nSubAuthorityCount;
        auto* sid = static_cast<SidHeader*>(calloc(1, size < sizeof(SidHeader) ? sizeof(SidHeader) : size));
        if (sid == nullptr)
        {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        sid->Revision = kSidRevision;
        sid->SubAuthorityCount = nSubAuthorityCount;
        sid->IdentifierAuthority = *pIdentifierAuthority;
        memcpy(sid->SubAuthority, rids, sizeof(DWORD) * nSubAuthorityCount);
        *pSid = sid;
        return TRUE;
    }

    PVOID WINAPI FreeSid(PSID pSid)
    {
        free(pSid);
        return nullptr;
    }

    BOOL WINAPI CheckTokenMembership(HANDLE TokenHandle, PSID SidToCheck, PBOOL IsMember)
    {
        // Only the calling process's own token (TokenHandle NULL) exists on this machine.
        if (TokenHandle != nullptr)
        {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        auto* sid = static_cast<const SidHeader*>(SidToCheck);
        if (IsMember == nullptr || !IsValid(sid))
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        *IsMember = FALSE;
        for (const Group& group : kTokenGroups)
        {
            if (Matches(sid, group) && (!group.administratorsOnly || ProcessRunsAsAdministrator()))
            {
                *IsMember = TRUE;
            }
        }
        return TRUE;
    }

} // extern "C"
