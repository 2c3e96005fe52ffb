/*
** The one bounded retry (retry_policies.h).
*/
#include <windows.h>

#include "errors/retry_policies.h"

const retry_policy launch_retry = {6, 50, 2};
const retry_policy deletion_retry = {21, 100, 1};
const retry_policy rename_retry = {20, 50, 1};
const retry_policy lock_retry = {100, 50, 1};

bool is_transient_error(DWORD code)
{
    return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION
        || code == ERROR_LOCK_VIOLATION || code == ERROR_INTERNAL_ERROR
        || code == ERROR_NO_SYSTEM_RESOURCES || code == ERROR_NOT_ENOUGH_MEMORY;
}

DWORD retry_while_transient(const retry_policy *policy, retry_attempt attempt, void *context)
{
    DWORD pause = policy->first_pause_ms;
    for (int made = 1;; made++) {
        DWORD result = attempt(context);
        if (result == ERROR_SUCCESS || made == policy->attempts || !is_transient_error(result))
            return result;
        Sleep(pause);
        pause *= policy->growth;
    }
}
