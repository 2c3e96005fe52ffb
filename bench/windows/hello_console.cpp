/* The bare console hello-world program that console start times are compared with. */
int wmain(void)
{
    return 0;
}
