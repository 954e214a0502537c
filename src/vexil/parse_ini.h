// Ini text parsing for the scenes loaded from an ini resource: "key = value" pairs
// and "key = [a b c]" arrays with "#" comments, handed to two handler functions.
// The text is written to during a handler call (a zero byte after the key and after
// the value) and restored. Syntax errors print their message on standard error and
// exit with status 1. Allocates nothing; main thread only.
#pragma once

typedef void parse_ini_key_value_func(char* key, int key_n, char* value, int value_n, void* user);
typedef void parse_ini_key_array_func(char* key, int key_n, char* value, int value_n, int index, int array_length,
                                      void* user);

// Parses txt and calls kv_func per scalar and array_func per array element;
// path is named in messages. An empty key (end of text, or a line that does not
// begin with a key) ends the parse.
void parse_ini(char* txt, const char* path, parse_ini_key_value_func* kv_func, parse_ini_key_array_func* array_func,
               void* user);

// Scanning steps: each advances *s and adds the line feeds it passes to *line.
void parse_ini_seek_past_comment_and_whitespace(char** s, int* line);
void parse_ini_seek_past_alphanumeric(char** s, int* line);
void parse_ini_seek_until_whitespace(char** s, int* line);
// Non-zero when the text ends before chr; otherwise *s points at chr.
int parse_ini_seek_until_chr(char** s, char chr, int* line);
