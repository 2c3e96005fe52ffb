/*
** Directories that are this process's own: created new, never taken over,
** with a DACL that lets in only the user running the process (and SYSTEM and
** Administrators), and a lock that tells a later process whether anyone
** still runs from them. The lock is no file: nothing is added to the
** directory or beside it. A directory that outlives the process (the cached
** folder) is checked for the same privacy before it is used again.
*/
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "paths/paths.h"

/* "D:P(A;OICI;FA;;;<user>)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)" with the user's
** SID: protected (nothing inherited from TEMP), full access, inherited by
** files (OI) and folders (CI). */
#define SECURITY_TEXT_CAPACITY 512
#define TOKEN_USER_CAPACITY 256

/* "Global\" and a directory name of ours (about 40 units). */
#define LOCK_NAME_CAPACITY 260

/* Rights that change a directory, its contents or who may do so. */
#define CHANGE_RIGHTS                                                                   \
    (FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_EA | FILE_DELETE_CHILD         \
     | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL)

static SECURITY_ATTRIBUTES private_security;
static bool private_security_built;

static union {
    TOKEN_USER user;
    BYTE bytes[TOKEN_USER_CAPACITY];
} token_user;
static bool token_user_read;

/* The directory held by hold_private_directory; never closed but for
** another. */
static HANDLE held_directory = INVALID_HANDLE_VALUE;

/* The SID of the process token's own user, not the owner-rights SID, which
** not every implementation maps; NULL when it cannot be read. */
static PSID token_user_sid(void)
{
    if (token_user_read)
        return token_user.user.User.Sid;
    HANDLE token = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return NULL;
    DWORD length = 0;
    token_user_read = GetTokenInformation(token, TokenUser, &token_user, sizeof token_user, &length) != FALSE;
    CloseHandle(token);
    return token_user_read ? token_user.user.User.Sid : NULL;
}

SECURITY_ATTRIBUTES *private_directory_security(void)
{
    if (private_security_built)
        return private_security.lpSecurityDescriptor != NULL ? &private_security : NULL;
    private_security_built = true;

    PSID user = token_user_sid();
    wchar_t *user_sid = NULL;
    if (user == NULL || !ConvertSidToStringSidW(user, &user_sid))
        return NULL;

    wchar_t text[SECURITY_TEXT_CAPACITY];
    int written = swprintf(text, SECURITY_TEXT_CAPACITY,
                           L"D:P(A;OICI;FA;;;%ls)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", user_sid);
    LocalFree(user_sid);
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (written <= 0
        || !ConvertStringSecurityDescriptorToSecurityDescriptorW(text,
                                                                 SDDL_REVISION_1,
                                                                 &descriptor, /* kept */
                                                                 NULL))       /* size */
        return NULL;
    private_security.nLength = sizeof private_security;
    private_security.lpSecurityDescriptor = descriptor;
    private_security.bInheritHandle = FALSE;
    return &private_security;
}

private_directory_result create_private_directory(const wchar_t *path)
{
    SECURITY_ATTRIBUTES *security = private_directory_security();
    wchar_t extended[ONEFILE_EXTENDED_PATH_CAPACITY];
    if (security == NULL || !make_extended_length_path(path, extended, ONEFILE_EXTENDED_PATH_CAPACITY))
        return PRIVATE_DIRECTORY_FAILED;
    if (CreateDirectoryW(extended, security))
        return PRIVATE_DIRECTORY_CREATED;
    return GetLastError() == ERROR_ALREADY_EXISTS ? PRIVATE_DIRECTORY_EXISTS : PRIVATE_DIRECTORY_FAILED;
}

/* The user of the process, SYSTEM or Administrators: who may change a
** private directory. */
static bool is_trusted_sid(PSID sid, PSID user)
{
    return EqualSid(sid, user) || IsWellKnownSid(sid, WinLocalSystemSid)
           || IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}

/* No entry of the DACL lets anyone else change the directory. Entries of a
** type that create_private_directory never writes count against it. */
static bool only_trusted_may_change(PACL dacl, PSID user)
{
    ACL_SIZE_INFORMATION size;
    /* A NULL DACL lets everyone do everything. */
    if (dacl == NULL || !GetAclInformation(dacl, &size, sizeof size, AclSizeInformation))
        return false;
    for (DWORD i = 0; i < size.AceCount; i++) {
        ACE_HEADER *header = NULL;
        if (!GetAce(dacl, i, (void **)&header))
            return false;
        if (header->AceType == ACCESS_DENIED_ACE_TYPE)
            continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
            return false;
        ACCESS_ALLOWED_ACE *allowed = (ACCESS_ALLOWED_ACE *)header;
        if ((allowed->Mask & CHANGE_RIGHTS) != 0 && !is_trusted_sid(&allowed->SidStart, user))
            return false;
    }
    return true;
}

/* Opens the directory at `path` as itself (a link is not followed) to read
** its security, sharing `share`; INVALID_HANDLE_VALUE when it cannot. */
static HANDLE open_directory_security(const wchar_t *path, DWORD share)
{
    wchar_t extended[ONEFILE_EXTENDED_PATH_CAPACITY];
    if (!make_extended_length_path(path, extended, ONEFILE_EXTENDED_PATH_CAPACITY))
        return INVALID_HANDLE_VALUE;
    /* The right to read its attributes too: the checks below ask for them,
    ** and Windows (not Wine) refuses a handle without it. */
    return CreateFileW(extended,
                       READ_CONTROL | FILE_READ_ATTRIBUTES,
                       share,
                       NULL,                   /* lpSecurityAttributes */
                       OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                       NULL);                  /* hTemplateFile */
}

/* The owner and the DACL of the directory behind the handle, in a
** descriptor that the caller frees with LocalFree; NULL when they cannot be
** read. */
static PSECURITY_DESCRIPTOR read_directory_security(HANDLE directory, PSID *owner, PACL *dacl)
{
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (GetSecurityInfo(directory,
                        SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        owner,
                        NULL,            /* ppsidGroup */
                        dacl,
                        NULL,            /* ppSacl */
                        &descriptor) != ERROR_SUCCESS)
        return NULL;
    return descriptor;
}

bool is_private_directory_dacl(PSECURITY_DESCRIPTOR descriptor)
{
    SECURITY_ATTRIBUTES *own = private_directory_security();
    BOOL present = FALSE, defaulted = FALSE;
    PACL expected = NULL, found = NULL;
    if (own == NULL
        || !GetSecurityDescriptorDacl(own->lpSecurityDescriptor, &present, &expected, &defaulted)
        || expected == NULL || !GetSecurityDescriptorDacl(descriptor, &present, &found, &defaulted))
        return false;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    bool same = found != NULL && GetSecurityDescriptorControl(descriptor, &control, &revision)
             && (control & SE_DACL_PROTECTED) && found->AceCount == expected->AceCount;
    for (WORD i = 0; same && i < expected->AceCount; i++) {
        ACE_HEADER *want = NULL, *have = NULL;
        same = GetAce(expected, i, (void **)&want) && GetAce(found, i, (void **)&have)
            && want->AceSize == have->AceSize && memcmp(want, have, want->AceSize) == 0;
    }
    return same;
}

bool has_private_directory_dacl(const wchar_t *path)
{
    HANDLE directory = open_directory_security(path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (directory == INVALID_HANDLE_VALUE)
        return false;
    PSID owner = NULL;
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR descriptor = read_directory_security(directory, &owner, &dacl);
    CloseHandle(directory);
    bool same = descriptor != NULL && is_private_directory_dacl(descriptor);
    if (descriptor != NULL)
        LocalFree(descriptor);
    return same;
}

held_directory_result hold_private_directory(const wchar_t *path)
{
    PSID user = token_user_sid();
    /* Without FILE_SHARE_DELETE: while the handle is open no one renames or
    ** removes the directory, so the one checked is the one used. */
    HANDLE directory = user != NULL ? open_directory_security(path, FILE_SHARE_READ | FILE_SHARE_WRITE)
                                    : INVALID_HANDLE_VALUE;
    if (directory == INVALID_HANDLE_VALUE)
        return DIRECTORY_NOT_OPENED;
    /* The attributes alone: under Wine the whole of
    ** GetFileInformationByHandle asks another process for the volume. */
    FILE_ATTRIBUTE_TAG_INFO information;
    PSID owner = NULL;
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    bool private_one = GetFileInformationByHandleEx(directory, FileAttributeTagInfo, &information, sizeof information)
                       && (information.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                       && !(information.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                       && (descriptor = read_directory_security(directory, &owner, &dacl)) != NULL
                       && owner != NULL && is_trusted_sid(owner, user)
                       && only_trusted_may_change(dacl, user);
    if (descriptor != NULL)
        LocalFree(descriptor);
    if (!private_one) {
        CloseHandle(directory);
        return DIRECTORY_NOT_PRIVATE;
    }
    if (held_directory != INVALID_HANDLE_VALUE)
        CloseHandle(held_directory);
    held_directory = directory;
    return DIRECTORY_HELD;
}

/* "Global\<last component of the directory>"; false when it does not fit.
** The names are unique (process id, time and a random token), and one name
** in the global namespace serves every session of the user that shares the
** TEMP folder. */
static bool make_lock_name(const wchar_t *directory, wchar_t *name)
{
    const wchar_t *separator = wcsrchr(directory, L'\\');
    const wchar_t *leaf = separator != NULL ? separator + 1 : directory;
    int written = swprintf(name, LOCK_NAME_CAPACITY, L"Global\\%ls", leaf);
    return written > 0 && written < LOCK_NAME_CAPACITY;
}

/*
** The lock is a named mutex that is never waited for: only its name counts.
** The system drops the name with the last handle, however its holders end
** (normally, by a crash or killed), and nothing is written to disk for it.
*/
bool hold_directory_lock(const wchar_t *directory)
{
    wchar_t name[LOCK_NAME_CAPACITY];
    if (!make_lock_name(directory, name))
        return true;
    /* Inherited by the child, and by whatever it starts with handles. */
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
    HANDLE lock = CreateMutexW(&inherited, FALSE /* bInitialOwner */, name);
    /* Never closed: the system closes it when the process ends. */
    return lock == NULL || GetLastError() != ERROR_ALREADY_EXISTS;
}

HANDLE claim_directory_lock(const wchar_t *directory)
{
    wchar_t name[LOCK_NAME_CAPACITY];
    if (!make_lock_name(directory, name))
        return NULL;
    HANDLE lock = CreateMutexW(NULL,   /* lpMutexAttributes */
                               FALSE,  /* bInitialOwner */
                               name);
    if (lock != NULL && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(lock);
        return NULL;
    }
    return lock;
}

HANDLE held_directory_handle(void)
{
    return held_directory;
}

void release_held_directory(void)
{
    if (held_directory != INVALID_HANDLE_VALUE)
        CloseHandle(held_directory);
    held_directory = INVALID_HANDLE_VALUE;
}

/* Whether the two handles are one file or directory: the same volume and
** the same file index. */
static bool is_same_file(HANDLE first, HANDLE second)
{
    BY_HANDLE_FILE_INFORMATION one, other;
    return GetFileInformationByHandle(first, &one) && GetFileInformationByHandle(second, &other)
        && one.dwVolumeSerialNumber == other.dwVolumeSerialNumber && one.nFileIndexHigh == other.nFileIndexHigh
        && one.nFileIndexLow == other.nFileIndexLow;
}

bool holds_directory_of(DWORD process_id, unsigned long long handle_value)
{
    if (held_directory == INVALID_HANDLE_VALUE || handle_value == 0)
        return false;
    HANDLE process = OpenProcess(PROCESS_DUP_HANDLE,
                                 FALSE,                  /* bInheritHandle */
                                 process_id);
    if (process == NULL)
        return false;
    HANDLE theirs = NULL;
    bool same = DuplicateHandle(process,
                                (HANDLE)(uintptr_t)handle_value,
                                GetCurrentProcess(),
                                &theirs,
                                0,                       /* dwDesiredAccess: the same as theirs */
                                FALSE,                   /* bInheritHandle */
                                DUPLICATE_SAME_ACCESS)
             && is_same_file(theirs, held_directory);
    if (theirs != NULL)
        CloseHandle(theirs);
    CloseHandle(process);
    return same;
}
