// One table of entry names, accepted or refused, that every reader of names
// is tested against: the packer's folder walk, its --attached-data check,
// --list and --extract (tests/host/entry_name_test.cpp), and the bootstrap
// before it writes anything, per run and cached (tests/windows/attached_data_test.cpp).
#ifndef ONEFILE_ENTRY_NAME_CASES_H
#define ONEFILE_ENTRY_NAME_CASES_H

struct entry_name_case {
    const char16_t *name;   // "\" between folders
    bool accepted;
};

constexpr entry_name_case entry_name_cases[] = {
    {u"data\\value.txt", true},
    {u"CONSOLE", true},
    {u"com0", true},
    {u"COM10", true},
    {u"nul_", true},
    {u".profile", true},
    {u" leading blank", true},
    {u"caf\u00e9\\\u65e5.txt", true},
    {u"..\\escaped.txt", false},
    {u"a\\..\\..\\b.txt", false},
    {u"a\\.\\b.txt", false},
    {u"a\\.. \\b.txt", false},
    {u"C:\\x.txt", false},
    {u"\\absolute.txt", false},
    {u"/absolute.txt", false},
    {u"a/b.txt", false},
    {u"f.txt:stream", false},
    {u"a\\\\b.txt", false},
    {u"folder\\", false},
    {u"dot.", false},
    {u"blank ", false},
    {u"CON", false},
    {u"nul.txt", false},
    {u"sub\\COM1", false},
    {u"Aux.tar.gz", false},
    {u"lpt9.log", false},
    {u"COM\u00b9", false},
    {u"a<b", false},
    {u"a|b", false},
    {u"a?b", false},
    {u"a*b", false},
    {u"a\"b", false},
    {u"a\u0001b", false},
};

// Names that Windows takes for the second one of each pair: refused together.
constexpr const char16_t *entry_name_collisions[][2] = {
    {u"Data.txt", u"data.txt"},
    {u"\u00c9t\u00e9.txt", u"\u00e9T\u00c9.TXT"},
    {u"lib\\x.dll", u"LIB\\x.dll"},
};

#endif
