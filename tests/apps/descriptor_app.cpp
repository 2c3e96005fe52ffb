/*
** A test program: a console program that reports the C runtime descriptors
** it was given, as a runtime parent hands them over (descriptors past the
** standard three, each one's text or binary mode).
**
** For descriptors 0 to 4 it writes "<n> closed", "<n> text" or "<n> binary"
** to standard output, a line each, then "to descriptor <n>\n" through the
** runtime to each of descriptors 3 and 4 that is open. Exit status 0.
*/
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <string>

static const char *mode_of(int descriptor)
{
    if (_get_osfhandle(descriptor) == -1)
        return "closed";
    int previous = _setmode(descriptor, _O_BINARY);
    _setmode(descriptor, previous);
    return previous == _O_TEXT ? "text" : "binary";
}

int main()
{
    std::string report;
    for (int descriptor = 0; descriptor < 5; descriptor++)
        report += std::to_string(descriptor) + " " + mode_of(descriptor) + "\n";
    fputs(report.c_str(), stdout);
    for (int descriptor = 3; descriptor < 5; descriptor++) {
        std::string line = "to descriptor " + std::to_string(descriptor) + "\n";
        if (_get_osfhandle(descriptor) != -1)
            _write(descriptor, line.data(), (unsigned)line.size());
    }
    return 0;
}
