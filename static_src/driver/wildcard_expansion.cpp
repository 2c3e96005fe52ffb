/*
** The runtime's start-up splits the command line into __wargv with wildcard
** arguments expanded when the program defines this switch. It stands alone
** so that linking it never drags in the rest of the driver.
*/
extern "C" {
int _dowildcard = -1;
}
