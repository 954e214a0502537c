#include "vexil/parse_ini.h"

#include <cstring>

#include "core/crash.h"

static int parse_ini_is_white(char c) { return c == '\n' || c == '\t' || c == ' ' || c == '\r'; }

static int parse_ini_is_alnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

void parse_ini_seek_past_comment_and_whitespace(char** s, int* line)
{
    char* p = *s;
    for (;;) {
        if (*p == '#') {
            while (*p && *p != '\n')
                p++;
        } else if (parse_ini_is_white(*p)) {
            if (*p == '\n')
                (*line)++;
            p++;
        } else {
            break;
        }
    }
    *s = p;
}

void parse_ini_seek_past_alphanumeric(char** s, int* line)
{
    (void)line;  // an alphanumeric run holds no line feed
    char* p = *s;
    while (parse_ini_is_alnum(*p))
        p++;
    *s = p;
}

void parse_ini_seek_until_whitespace(char** s, int* line)
{
    (void)line;
    char* p = *s;
    while (*p && !parse_ini_is_white(*p))
        p++;
    *s = p;
}

int parse_ini_seek_until_chr(char** s, char chr, int* line)
{
    char* p = *s;
    while (*p && *p != chr) {
        if (*p == '\n')
            (*line)++;
        p++;
    }
    *s = p;
    return *p == 0;
}

// Walks the elements of an array whose "[" is at open and first "]" at close.
// With array_func null it only counts them. Returns where the walk stopped: at
// the closing bracket when white space leads to it, else (the bracket went into
// the last element) at the white space that ended the last element, or at the
// end of the text; *line is left at the stop.
static char* parse_ini_walk_array(char* key, int key_n, char* open, char* close, int* line, int count,
                                  parse_ini_key_array_func* array_func, void* user, int* out_count)
{
    char* p = open + 1;
    char* last_end = p;
    int last_end_line = *line;
    int n = 0;
    for (;;) {
        parse_ini_seek_past_comment_and_whitespace(&p, line);
        if (!*p || p == close)
            break;
        if (p > close) {
            p = last_end;
            *line = last_end_line;
            break;
        }
        char* element = p;
        parse_ini_seek_until_whitespace(&p, line);
        if (array_func) {
            char saved_key_end = key[key_n];
            char saved_end = *p;
            key[key_n] = 0;
            *p = 0;
            array_func(key, key_n, element, (int)(p - element), n, count, user);
            *p = saved_end;
            key[key_n] = saved_key_end;
        }
        n++;
        last_end = p;
        last_end_line = *line;
    }
    *out_count = n;
    return p;
}

// An array whose "]" is missing runs on into the lines after it: the first "]"
// then closes a later array, and the "=" or "[" of a later key lies between.
static int parse_ini_array_runs_on(const char* open, const char* close)
{
    for (const char* p = open + 1; p < close; p++) {
        if (*p == '#') {
            while (p < close && *p != '\n')
                p++;
            continue;
        }
        if (*p == '=' || *p == '[')
            return 1;
    }
    return 0;
}

void parse_ini(char* txt, const char* path, parse_ini_key_value_func* kv_func, parse_ini_key_array_func* array_func,
               void* user)
{
    for (char* p = txt; *p && *p != '\n'; p++)
        if (*p == '\r')
            crash_fail(2,
                       "txt contains \\r either bug or unpacked using some tool that converts unix lines to mac.. "
                       "tryp MacZip\nin file \"%s\"\n",
                       path);

    int line = 1;
    char* s = txt;
    for (;;) {
        parse_ini_seek_past_comment_and_whitespace(&s, &line);
        char* key = s;
        parse_ini_seek_past_alphanumeric(&s, &line);
        int key_n = (int)(s - key);
        if (key_n == 0)
            return;

        // The "=" belongs on the key's line: found on a later one, it is another
        // key's, and this key would take that key's value.
        const int key_line = line;
        if (parse_ini_seek_until_chr(&s, '=', &line) || line != key_line)
            crash_fail(2, "missing '%c' on line %d in file \"%s\"\n", '=', key_line, path);
        s++;
        parse_ini_seek_past_comment_and_whitespace(&s, &line);

        if (*s != '[') {
            char* value = s;
            parse_ini_seek_past_alphanumeric(&s, &line);
            int value_n = (int)(s - value);
            // The key ends before the "=", the value after it: two distinct bytes.
            char saved_key_end = key[key_n];
            char saved_value_end = *s;
            key[key_n] = 0;
            *s = 0;
            kv_func(key, key_n, value, value_n, user);
            *s = saved_value_end;
            key[key_n] = saved_key_end;
            continue;
        }

        char* open = s;
        int open_line = line;
        char* close = strchr(open, ']');
        if (!close || parse_ini_array_runs_on(open, close))
            crash_fail(2, "expected '%c' to close array starting on line %d in file \"%s\"\n", ']', open_line, path);
        int count = 0;
        int count_line = line;
        parse_ini_walk_array(key, key_n, open, close, &count_line, 0, nullptr, user, &count);
        int called = 0;
        char* stop = parse_ini_walk_array(key, key_n, open, close, &line, count, array_func, user, &called);
        // One past where the walk stopped, never past the end of the text.
        s = *stop ? stop + 1 : stop;
        if (*stop == '\n')
            line++;
    }
}
