/*
** The template language of unpack paths, read the one way by the
** bootstrap's expansion, its cached-or-per-run decision and its sweep, and
** by the packer's check of --unpack-to: literal text and placeholder names
** in braces, "{TEMP}\onefile_{PID}". A '{' opens a name afresh, the next
** '}' closes it, and a name still open when another '{' or the end comes is
** dropped. Names are compared ignoring ASCII case. No system headers: the
** packer builds on Linux and reads UTF-8 text, whose braces and
** backslashes are single bytes, with the same code.
*/
#ifndef ONEFILE_TEMPLATE_SYNTAX_H
#define ONEFILE_TEMPLATE_SYNTAX_H

#include <stddef.h>

enum template_piece_kind {
    TEMPLATE_LITERAL,       /* text as it stands */
    TEMPLATE_PLACEHOLDER,   /* a name between braces: start and length are the name's */
    TEMPLATE_STRAY_CLOSE,   /* a '}' with no name open: no template holds one */
    TEMPLATE_UNCLOSED,      /* a '{' and what follows up to the next brace or the end */
};

struct template_piece {
    template_piece_kind kind;
    size_t start;           /* units from the template's start */
    size_t length;
};

/* Reads the piece that begins at *position of the terminated `text` into
** `piece` and moves *position past it; false at the end. */
template <class unit>
bool next_template_piece(const unit *text, size_t *position, template_piece *piece)
{
    size_t at = *position;
    if (text[at] == 0)
        return false;
    if (text[at] == '}') {
        *piece = {TEMPLATE_STRAY_CLOSE, at, 1};
        *position = at + 1;
        return true;
    }
    size_t end = at + (text[at] == '{' ? 1 : 0);
    while (text[end] != 0 && text[end] != '{' && text[end] != '}')
        end++;
    if (text[at] != '{')
        *piece = {TEMPLATE_LITERAL, at, end - at};
    else if (text[end] == '}')
        *piece = {TEMPLATE_PLACEHOLDER, at + 1, end - at - 1};
    else
        *piece = {TEMPLATE_UNCLOSED, at, end - at};
    *position = text[end] == '}' && text[at] == '{' ? end + 1 : end;
    return true;
}

/* The placeholders, in the order the packer lists them. */
enum placeholder_id {
    PLACEHOLDER_TEMP,
    PLACEHOLDER_CACHE_DIR,
    PLACEHOLDER_HOME,
    PLACEHOLDER_PROGRAM,
    PLACEHOLDER_PROGRAM_BASE,
    PLACEHOLDER_PROGRAM_DIR,
    PLACEHOLDER_PID,
    PLACEHOLDER_TIME_US,
    PLACEHOLDER_RANDOM,
    PLACEHOLDER_TIME,
    PLACEHOLDER_COUNT,      /* also: no placeholder of that name */
};

/* The name of each placeholder, by its id. */
inline const char *placeholder_name(placeholder_id id)
{
    static const char *const names[PLACEHOLDER_COUNT] = {
        "TEMP", "CACHE_DIR", "HOME", "PROGRAM", "PROGRAM_BASE", "PROGRAM_DIR",
        "PID", "TIME_US", "RANDOM", "TIME"};
    return names[id];
}

/* The placeholder whose name is the `length` units at `name`, ignoring
** ASCII case; PLACEHOLDER_COUNT when there is none. */
template <class unit>
placeholder_id find_placeholder(const unit *name, size_t length)
{
    for (int id = 0; id < PLACEHOLDER_COUNT; id++) {
        const char *known = placeholder_name((placeholder_id)id);
        size_t i = 0;
        for (; i < length && known[i] != '\0'; i++) {
            unit c = name[i];
            if (c >= 'a' && c <= 'z')
                c = (unit)(c - 'a' + 'A');
            if (c != (unit)known[i])
                break;
        }
        if (i == length && known[i] == '\0')
            return (placeholder_id)id;
    }
    return PLACEHOLDER_COUNT;
}

/* Values new at every run: a template that holds one names a folder per
** run; one without names the cached folder that every start shares. */
inline bool is_per_run_placeholder(placeholder_id id)
{
    return id == PLACEHOLDER_PID || id == PLACEHOLDER_TIME_US || id == PLACEHOLDER_RANDOM
        || id == PLACEHOLDER_TIME;
}

/* A folder of the user's, where a template may start. */
inline bool is_folder_placeholder(placeholder_id id)
{
    return id == PLACEHOLDER_TEMP || id == PLACEHOLDER_CACHE_DIR || id == PLACEHOLDER_HOME
        || id == PLACEHOLDER_PROGRAM_DIR;
}

/* Whether `text` holds no per-run placeholder. */
template <class unit>
bool is_cached_template(const unit *text)
{
    template_piece piece;
    for (size_t at = 0; next_template_piece(text, &at, &piece);) {
        if (piece.kind == TEMPLATE_PLACEHOLDER
            && is_per_run_placeholder(find_placeholder(text + piece.start, piece.length)))
            return false;
    }
    return true;
}

#endif
