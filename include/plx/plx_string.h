/* UTF-8 strings, formatted printing and the string accumulator.
 * Plain C99; every function returns a plx_error_t unless its declaration says otherwise.
 *
 * The character rule: sequences of one to three bytes (lead bytes 00..7F, C0..DF, E0..EF, each
 * followed by its 80..BF bytes); overlong forms and surrogates are accepted, nothing above
 * U+FFFF decodes. A walk stops at the first invalid sequence. Only ASCII letters have a case.
 * NULL strings: lengths and counts answer 0, comparisons order NULL before any string, searches
 * answer NULL, edits and plx_string_free do nothing. Pointers returned by searches point into
 * the searched string; new strings (dup, mprintf, detach, conversions) come from the host
 * allocator and are released with plx_string_free.
 * Codes (package 0x05): 0x90050001 a null or invalid argument, 0x90050002 memory ran out (the
 * text as it was; the allocating UCS-2 conversions answer 0x90030002), 0x90050008 a destination
 * too small, 0x900503A0 an invalid UTF-8 sequence,
 * 0x900503A1 an odd UCS-2 byte count. */
#ifndef PLX_STRING_H
#define PLX_STRING_H

#include "plx_types.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) && defined(PLX_BUILDING_LIBRARY)
#pragma GCC visibility push(default)
#endif

/* ---- string module ---- */
plx_error_t plx_string_initialize(void);
plx_error_t plx_string_shutdown(void);
uint32_t    plx_string_initchecks(void);
const char *plx_string_get_version(void);
const char *plx_string_get_build_date(void);

/* ---- exported UTF-8 tables ---- */
extern const uint8_t utfmarktab[3];     /* { 0x00, 0xC0, 0xE0 }: lead-byte marks, lengths 1..3 */
extern const uint8_t utflmasktab[3];    /* { 0x7F, 0x1F, 0x0F }: lead-byte value masks */

/* ---- lengths ---- */
uint32_t plx_string_bytelen(const char *s);                        /* with terminator */
uint32_t plx_string_bytenlen(const char *s, uint32_t max);
uint32_t plx_string_bytelen_nonull(const char *s);                 /* without terminator */
uint32_t plx_string_bytenlen_nonull(const char *s, uint32_t max);
uint32_t plx_string_charlen(const char *s);
uint32_t plx_string_charnlen(const char *s, uint32_t max_bytes);   /* chars fitting in max_bytes */
uint32_t plx_string_byteclen(const char *s, uint32_t char_count);  /* bytes of first char_count chars */
uint32_t plx_string_nextcharsize(const char *s);
uint32_t plx_string_bytelen_uni(const uint16_t *s);                /* 2 * (units + 1) */
uint32_t plx_string_charlen_uni(const uint16_t *s);                /* units before the 0 unit */

/* ---- comparison ---- */
uint8_t  plx_string_equal(const char *a, const char *b, uint8_t ignore_case);
int16_t  plx_string_strcmp(const char *a, const char *b);                    /* -1, 0, 1 */
int16_t  plx_string_stricmp(const char *a, const char *b);
int16_t  plx_string_strncmp(const char *a, const char *b, uint32_t n);       /* n characters */
int16_t  plx_string_strnicmp(const char *a, const char *b, uint32_t n);
/* count of matching leading characters, ASCII case IGNORED; outs: positions after them */
uint32_t plx_string_strcmp_len(const char *a, const char *b, const char **p_pos_a,
                               const char **p_pos_b);
/* same, case RESPECTED */
uint32_t plx_string_stricmp_len(const char *a, const char *b, const char **p_pos_a,
                                const char **p_pos_b);

/* ---- search (results point into the searched string) ---- */
const char *plx_string_strchr(const char *s, uint32_t code_point);
const char *plx_string_strrchr(const char *s, uint32_t code_point);
/* p_end <- just after the match, p_count <- its characters; both zeroed first, may be NULL */
const char *plx_string_substring(const char *haystack, const char *needle, const char **p_end,
                                 uint32_t *p_count);
const char *plx_string_strstr(const char *haystack, const char *needle);
const char *plx_string_strrstr(const char *haystack, const char *needle);  /* end of first match */
/* s NULL: continue at *p_save; writes 0 over the delimiter; p_delimiter <- it (0 at the end) */
char *plx_string_strtok(char *s, const char *delimiters, char **p_save, char *p_delimiter);

/* ---- bounded copies (size = destination bytes; return the destination) ---- */
char *plx_string_strcpy(char *dest, uint32_t size, const char *src);
char *plx_string_strncpy(char *dest, uint32_t size, const char *src, uint32_t n);  /* n chars */
char *plx_string_strcat(char *dest, uint32_t size, const char *src);
char *plx_string_strncat(char *dest, uint32_t size, const char *src, uint32_t n);

/* ---- duplication (new strings; release with plx_string_free) ---- */
char *plx_string_strdup(const char *s);
char *plx_string_strndup(const char *s, uint32_t n);                   /* at most n characters */
/* size-byte block filled with fill, s copied to its start, last byte 0 */
char *plx_string_strdupn(const char *s, uint32_t size, char fill);
char *plx_string_worddup(const char *s);                               /* first blank-separated word */
void  plx_string_free(void *s);                                        /* NULL ignored */

/* ---- editing in place ---- */
void  plx_string_tolower(char *s);
void  plx_string_toupper(char *s);
void  plx_string_trim(char *s);
char *plx_string_reverse(char *s);
/* encodes one code point (no terminator); p_length <- bytes written, 0 on failure */
char *plx_string_setchar(char *dest, uint32_t size, uint32_t code_point, uint32_t *p_length);
/* decodes at *p_pos and advances it; p_bytes <- bytes consumed; returns the code point */
uint32_t plx_string_charnext(const char **p_pos, uint32_t *p_bytes);

/* ---- validity ---- */
uint8_t plx_string_isvalid(const char *s);
uint8_t plx_string_isempty(const char *s);

/* ---- character classes (ASCII only) ---- */
uint8_t plx_string_isalpha(uint32_t code);
uint8_t plx_string_isdigit(uint32_t code);
uint8_t plx_string_isalnum(uint32_t code);
uint8_t plx_string_isspace(uint32_t code);
uint8_t plx_string_isxdigit(uint32_t code);
uint8_t plx_string_isprint(uint32_t code);
uint8_t plx_string_islower(uint32_t code);
uint8_t plx_string_isupper(uint32_t code);
int32_t plx_string_char_tolower(uint32_t code);      /* C library single-byte mapping */
int32_t plx_string_char_toupper(uint32_t code);

/* ---- numbers ---- */
char    *plx_string_i32toa(int32_t value, char *buffer, uint32_t size);
char    *plx_string_u32toa(uint32_t value, char *buffer, uint32_t size);
double   plx_string_atof64(const char *s);
uint8_t  plx_string_atobool(const char *s);
uint32_t plx_string_atou32(const char *s);
uint64_t plx_string_atou64(const char *s);
int32_t  plx_string_atoi32(const char *s);
/* the C library functions of the same names, unchanged */
unsigned long      plx_string_strtoul(const char *s, char **p_end, int base);
unsigned long long plx_string_strtoull(const char *s, char **p_end, int base);
long               plx_string_strtol(const char *s, char **p_end, int base);

/* ---- UCS-2 conversion (swap != 0: byte-swap every unit) ---- */
/* src_bytes: source byte count (even); p_size: in = dest capacity, out = bytes written */
plx_error_t plx_string_ucs2_to_utf8_buf(const uint16_t *src, uint32_t src_bytes, char *dest,
                                        uint32_t *p_size, uint8_t swap);
/* dest must hold 2 bytes per source byte; p_written <- bytes written */
plx_error_t plx_string_utf8_to_ucs2_buf(const char *src, uint32_t src_bytes, uint16_t *dest,
                                        uint32_t *p_written, uint8_t swap);
plx_error_t plx_string_ucs2_to_utf8(const uint16_t *src, char **p_out, uint8_t swap);
plx_error_t plx_string_utf8_to_ucs2(const char *src, uint16_t **p_out, uint8_t swap);
                                                     /* *p_out: release with plx_string_free */

/* ---- formatted printing ---- */
/* returns full text length + 1 (0 for an empty text); stores at most size - 1 bytes + NUL */
uint32_t plx_string_snprintf(char *buffer, uint32_t size, const char *format, ...);
                                                     /* format(printf, 3, 4) */
uint32_t plx_string_vsnprintf(char *buffer, uint32_t size, const char *format, va_list args);
                                                     /* format(printf, 3, 0) */
char *plx_string_mprintf(const char *format, ...);   /* format(printf, 1, 2); NULL on failure */
char *plx_string_vmprintf(const char *format, va_list args);   /* format(printf, 1, 0) */

/* ---- string accumulator ----
 * One growing, always terminated text. An append that cannot grow the text leaves it as it
 * was: the plain appends answer 0x90050002, the formatting appends log that code and answer 0
 * (never a text with a formatted piece missing). Padding spaces are appended in pieces of at
 * most 29, so the capacity grows as those appends would. */
typedef struct plx_string_accum_s plx_string_accum_t;

/* block (may be NULL): caller memory that holds the header and, after it, the first buffer */
plx_error_t plx_string_accum_create(plx_string_accum_t **p_accum, void *block, uint32_t size);
/* p_buffer (may be NULL) <- current text buffer, still owned by the accumulator */
plx_error_t plx_string_accum_append(plx_string_accum_t *accum, const char *s, const char **p_buffer);
plx_error_t plx_string_accum_append_bytes(plx_string_accum_t *accum, const void *bytes,
                                          uint32_t count, const char **p_buffer);
/* appends the first char_count UTF-8 characters of s */
plx_error_t plx_string_accum_append_chars(plx_string_accum_t *accum, const char *s,
                                          uint32_t char_count, const char **p_buffer);
plx_error_t plx_string_accum_append_format(plx_string_accum_t *accum, const char *format, ...);
                                                     /* format(printf, 2, 3) */
plx_error_t plx_string_accum_append_vformat(plx_string_accum_t *accum, const char *format,
                                            va_list args);   /* format(printf, 2, 0) */
/* removes count bytes from offset start; p_removed (may be NULL) <- bytes actually removed */
plx_error_t plx_string_accum_remove_range(plx_string_accum_t *accum, uint32_t start,
                                          uint32_t count, uint32_t *p_removed);
plx_error_t plx_string_accum_clear(plx_string_accum_t *accum);
plx_error_t plx_string_accum_bytelen(plx_string_accum_t *accum, uint32_t *p_size);  /* len+1 or 0 */
plx_error_t plx_string_accum_get_string(plx_string_accum_t *accum, const char **p_buffer,
                                        uint32_t *p_size);
/* *p_string: new string (release with plx_string_free); accumulator left empty */
plx_error_t plx_string_accum_detach(plx_string_accum_t *accum, char **p_string, uint32_t *p_size);
plx_error_t plx_string_accum_delete(plx_string_accum_t *accum);

#if defined(__GNUC__) && defined(PLX_BUILDING_LIBRARY)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* PLX_STRING_H */
