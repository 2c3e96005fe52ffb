/*
** Fatal errors: one line on a standard stream, exit status 2, no clean-up.
** The unpack directory stays as it is, for whoever investigates.
*/
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

#include "driver/driver.h"

#define FATAL_EXIT_STATUS 2
#define ENGLISH_UNITED_STATES 0x409

void fatal_error(const char *message)
{
    puts(message);
    exit(FATAL_EXIT_STATUS);
}

void fatal_system_error(const char *message, DWORD code)
{
    char *text = NULL;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS
                                      | FORMAT_MESSAGE_FROM_SYSTEM,
                                  NULL,                    /* lpSource */
                                  code,
                                  ENGLISH_UNITED_STATES,   /* dwLanguageId */
                                  (LPSTR)&text,            /* allocated by the system, kept */
                                  0,                       /* nSize */
                                  NULL);                   /* Arguments */
    if (length == 0 || text == NULL) {
        /* No English text for this code on this system. */
        text = (char *)"unknown error";
    } else {
        for (DWORD i = length; i-- > 0 && (text[i] == '\r' || text[i] == '\n');)
            text[i] = '\0';
    }
    fprintf(stderr, "%s ([Error %ld] %s)\n", message, (long)code, text);
    exit(FATAL_EXIT_STATUS);
}
