/*
** Directories that are this process's own: created new, never taken over,
** with a DACL that lets in only the user running the process (and SYSTEM and
** Administrators), and a lock that tells a later process whether anyone
** still runs from them. The lock is no file: nothing is added to the
** directory or beside it.
*/
#include <windows.h>
#include <sddl.h>
#include <stdio.h>
#include <wchar.h>

#include "paths/paths.h"

/* "D:P(A;OICI;FA;;;<user>)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)" with the user's
** SID: protected (nothing inherited from TEMP), full access, inherited by
** files (OI) and folders (CI). */
#define SECURITY_TEXT_CAPACITY 512
#define TOKEN_USER_CAPACITY 256

/* "Global\" and a directory name of ours (about 40 units). */
#define LOCK_NAME_CAPACITY 260

static SECURITY_ATTRIBUTES private_security;
static bool private_security_built;

SECURITY_ATTRIBUTES *private_directory_security(void)
{
    if (private_security_built)
        return private_security.lpSecurityDescriptor != NULL ? &private_security : NULL;
    private_security_built = true;

    /* The token's own user, not the owner-rights SID, which not every
    ** implementation maps. */
    HANDLE token = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return NULL;
    union {
        TOKEN_USER user;
        BYTE bytes[TOKEN_USER_CAPACITY];
    } token_user;
    DWORD length = 0;
    BOOL queried = GetTokenInformation(token, TokenUser, &token_user, sizeof token_user, &length);
    CloseHandle(token);
    wchar_t *user_sid = NULL;
    if (!queried || !ConvertSidToStringSidW(token_user.user.User.Sid, &user_sid))
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
