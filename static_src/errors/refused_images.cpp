/*
** The system's refusals of an image, told apart from other failures to
** load a library or start a program: application control (software
** restriction policies, AppLocker, WDAC, Smart App Control) and virus
** scanners refuse a file that the bootstrap has just written, and their
** users need words that say what to do, not only the system's code.
*/
#include <windows.h>

#include "errors/errors.h"

/* MinGW-w64 10's winerror.h lacks these; the names and values are those of
** Windows' own header (and of Wine 10's). */
#ifndef ERROR_VIRUS_INFECTED
#define ERROR_VIRUS_INFECTED 225
#endif
#ifndef ERROR_VIRUS_DELETED
#define ERROR_VIRUS_DELETED 226
#endif
#ifndef ERROR_INVALID_IMAGE_HASH
#define ERROR_INVALID_IMAGE_HASH 577
#endif
#ifndef ERROR_ACCESS_DISABLED_NO_SAFER_UI_BY_POLICY
#define ERROR_ACCESS_DISABLED_NO_SAFER_UI_BY_POLICY 786
#endif
#ifndef ERROR_SYSTEM_INTEGRITY_ROLLBACK_DETECTED
#define ERROR_SYSTEM_INTEGRITY_ROLLBACK_DETECTED 4550
#endif
#ifndef ERROR_SYSTEM_INTEGRITY_SUPPLEMENTAL_POLICY_NOT_AUTHORIZED
#define ERROR_SYSTEM_INTEGRITY_SUPPLEMENTAL_POLICY_NOT_AUTHORIZED 4555
#endif
#ifndef ERROR_SYSTEM_INTEGRITY_REPUTATION_MALICIOUS
#define ERROR_SYSTEM_INTEGRITY_REPUTATION_MALICIOUS 4556
#endif
#ifndef ERROR_SYSTEM_INTEGRITY_REPUTATION_OFFLINE
#define ERROR_SYSTEM_INTEGRITY_REPUTATION_OFFLINE 4559
#endif
#ifndef ERROR_SYSTEM_INTEGRITY_REPUTATION_UNFRIENDLY_FILE
#define ERROR_SYSTEM_INTEGRITY_REPUTATION_UNFRIENDLY_FILE 4580
#endif
#ifndef ERROR_SYSTEM_INTEGRITY_REPUTATION_EXPLICIT_DENY_FILE
#define ERROR_SYSTEM_INTEGRITY_REPUTATION_EXPLICIT_DENY_FILE 4582
#endif

static const char application_control[] =
    "was blocked by this computer's application control policy; a signed build or another unpack folder "
    "(--unpack-to) may be allowed";
static const char reputation_check[] =
    "was blocked by Smart App Control, which found no good reputation for it (or could not ask, offline); a "
    "build signed with a certificate it trusts may be allowed";
static const char virus_scanner[] =
    "was refused by this computer's virus scanner; a signed build, a report of the false alarm to the "
    "scanner's maker or an exclusion for the unpack folder (--unpack-to) may help";

const char *refused_image_cause(unsigned long code)
{
    switch (code) {
    /* Software restriction policies and AppLocker, with and without their own window. */
    case ERROR_ACCESS_DISABLED_BY_POLICY:
    case ERROR_ACCESS_DISABLED_NO_SAFER_UI_BY_POLICY:
    /* Code integrity (WDAC, Smart App Control) refusing an image's signature or hash. */
    case ERROR_INVALID_IMAGE_HASH:
        return application_control;
    /* Windows Defender and other scanners on the antimalware interface. */
    case ERROR_VIRUS_INFECTED:
    case ERROR_VIRUS_DELETED:
        return virus_scanner;
    default:
        break;
    }
    /* The system integrity policy's codes: a refusal by WDAC or Smart App
    ** Control (4551), or by a policy that is itself rolled back, invalid,
    ** unsigned, one too many or not authorised (4550, 4552 to 4555). */
    if (code >= ERROR_SYSTEM_INTEGRITY_ROLLBACK_DETECTED
        && code <= ERROR_SYSTEM_INTEGRITY_SUPPLEMENTAL_POLICY_NOT_AUTHORIZED)
        return application_control;
    /* Smart App Control's reputation check: malicious, unwanted, a dangerous
    ** extension, no answer offline (4556 to 4559); a file it does not like,
    ** cannot rate, or denies by name (4580 to 4582). */
    if ((code >= ERROR_SYSTEM_INTEGRITY_REPUTATION_MALICIOUS && code <= ERROR_SYSTEM_INTEGRITY_REPUTATION_OFFLINE)
        || (code >= ERROR_SYSTEM_INTEGRITY_REPUTATION_UNFRIENDLY_FILE
            && code <= ERROR_SYSTEM_INTEGRITY_REPUTATION_EXPLICIT_DENY_FILE))
        return reputation_check;
    return NULL;
}
