#include "iconv.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

enum encoding { UTF8, UCS2LE, CODEPAGE };

struct vf_iconv {
    enum encoding from, to;
    UINT codePage;  /* of a CODEPAGE side */
    int doubleByte; /* a code page of one- and two-byte characters (Shift-JIS, Big5, GBK, EUC-KR...) */
};

static int sameName(const char* a, const char* b)
{
    for (; *a && *b; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'a' && x <= 'z') x -= 32;
        if (y >= 'a' && y <= 'z') y -= 32;
        if (x != y)
            return 0;
    }
    return *a == *b;
}

/* The names that libmdb passes: "UTF-8", "UCS-2LE", and "CPnnnn", "WINDOWS-nnnn", "IBMnnn"
 * or "ISO-8859-n" for the code page of an Access 97 file. */
static int parse(const char* name, enum encoding* encoding, UINT* codePage)
{
    static const struct { const char* name; UINT codePage; } iso[] = {
        {"ISO-8859-1", 28591}, {"ISO-8859-2", 28592}, {"ISO-8859-3", 28593}, {"ISO-8859-4", 28594},
        {"ISO-8859-5", 28595}, {"ISO-8859-6", 28596}, {"ISO-8859-7", 28597}, {"ISO-8859-8", 28598},
        {"ISO-8859-9", 28599}, {"ISO-8859-13", 28603}, {"ISO-8859-15", 28605}, {"KOI8-R", 20866},
        {"KOI8-U", 21866}, {"SHIFT-JIS", 932}, {"BIG-5", 950}, {"EUC-JP", 20932}, {"EUC-KR", 51949},
        {"EUC-CN", 936},
    };
    size_t i;
    if (sameName(name, "UTF-8")) {
        *encoding = UTF8;
        return 1;
    }
    if (sameName(name, "UCS-2LE")) {
        *encoding = UCS2LE;
        return 1;
    }
    *encoding = CODEPAGE;
    for (i = 0; i < sizeof iso / sizeof iso[0]; ++i)
        if (sameName(name, iso[i].name)) {
            *codePage = iso[i].codePage;
            return 1;
        }
    if (_strnicmp(name, "WINDOWS-", 8) == 0)
        name += 8;
    else if (_strnicmp(name, "CP", 2) == 0 || _strnicmp(name, "IBM", 3) == 0)
        name += name[0] == 'I' || name[0] == 'i' ? 3 : 2;
    else
        return 0;
    *codePage = (UINT)strtoul(name, NULL, 10);
    return *codePage != 0 && IsValidCodePage(*codePage);
}

iconv_t iconv_open(const char* to, const char* from)
{
    struct vf_iconv* cd = calloc(1, sizeof *cd);
    UINT fromPage = 0, toPage = 0;
    if (!cd)
        return (iconv_t)-1;
    /* Text is converted to and from UTF-8 only. */
    if (!parse(from, &cd->from, &fromPage) || !parse(to, &cd->to, &toPage)
        || (cd->from != UTF8 && cd->to != UTF8) || cd->to == CODEPAGE) {
        free(cd);
        errno = EINVAL;
        return (iconv_t)-1;
    }
    cd->codePage = fromPage;
    /* A code page whose characters take up to two bytes is read a character at a time, its lead
     * byte telling its length; longer ones (GB18030) are refused. */
    if (cd->from == CODEPAGE) {
        CPINFO info;
        if (!GetCPInfo(cd->codePage, &info) || info.MaxCharSize > 2) {
            free(cd);
            errno = EINVAL;
            return (iconv_t)-1;
        }
        cd->doubleByte = info.MaxCharSize == 2;
    }
    return cd;
}

int iconv_close(iconv_t cd)
{
    free(cd);
    return 0;
}

/* Reads one character; returns the bytes it takes, 0 when the input ends inside it, -1 when it
 * is not a character of the encoding. */
static int readCharacter(const struct vf_iconv* cd, const unsigned char* in, size_t left, unsigned long* c)
{
    switch (cd->from) {
    case UCS2LE:
        if (left < 2)
            return 0;
        *c = in[0] | (unsigned long)in[1] << 8;
        return *c >= 0xD800 && *c <= 0xDFFF ? -1 : 2;
    case CODEPAGE: {
        /* A byte, or a lead byte and its trail byte, converted together; one that the code page
         * leaves undefined is refused. Windows maps the five holes of code page 1252 to C1
         * controls; the GNU C library, whose output this must equal, refuses them. */
        wchar_t wide[2];
        int length = 1, n;
        if (cd->codePage == 1252 && (in[0] == 0x81 || in[0] == 0x8D || in[0] == 0x8F || in[0] == 0x90 || in[0] == 0x9D))
            return -1;
        if (cd->doubleByte && IsDBCSLeadByteEx(cd->codePage, in[0])) {
            if (left < 2)
                return 0;
            length = 2;
        }
        n = MultiByteToWideChar(cd->codePage, MB_ERR_INVALID_CHARS, (const char*)in, length, wide, 2);
        if (n == 1 && (wide[0] < 0xD800 || wide[0] > 0xDFFF))
            *c = wide[0];
        else if (n == 2 && wide[0] >= 0xD800 && wide[0] <= 0xDBFF && wide[1] >= 0xDC00 && wide[1] <= 0xDFFF)
            *c = 0x10000 + ((unsigned long)(wide[0] - 0xD800) << 10 | (unsigned long)(wide[1] - 0xDC00));
        else
            return -1;
        return length;
    }
    case UTF8: {
        int n, i;
        unsigned long minimum;
        if (in[0] < 0x80) {
            *c = in[0];
            return 1;
        }
        /* The lead bytes of the GNU C library: C0 and C1 (always overlong), FE and FF are none;
         * it still reads the five- and six-byte forms of F8 to FD, so that their start at the
         * end of the input is incomplete (EINVAL), and refuses them whole (EILSEQ). */
        if (in[0] >= 0xC2 && in[0] <= 0xDF) { n = 2; *c = in[0] & 0x1F; minimum = 0x80; }
        else if ((in[0] & 0xF0) == 0xE0) { n = 3; *c = in[0] & 0x0F; minimum = 0x800; }
        else if ((in[0] & 0xF8) == 0xF0) { n = 4; *c = in[0] & 0x07; minimum = 0x10000; }
        else if ((in[0] & 0xFC) == 0xF8) { n = 5; *c = in[0] & 0x03; minimum = 0x200000; }
        else if ((in[0] & 0xFE) == 0xFC) { n = 6; *c = in[0] & 0x01; minimum = 0x4000000; }
        else return -1;
        for (i = 1; i < n; ++i) {
            if ((size_t)i >= left)
                return 0;
            if ((in[i] & 0xC0) != 0x80)
                return -1;
            *c = *c << 6 | (in[i] & 0x3F);
        }
        /* Beyond U+10FFFF is for the writing side to refuse, once it has the room. */
        if (*c < minimum || (*c >= 0xD800 && *c <= 0xDFFF))
            return -1;
        return n;
    }
    }
    return -1;
}

/* Writes one character; returns the bytes written, 0 when they do not fit, -1 when the
 * encoding has no such character. */
static int writeCharacter(const struct vf_iconv* cd, unsigned long c, unsigned char* out, size_t left)
{
    int n, i;
    /* As the GNU C library: the room first, then whether the character has a place. */
    if (cd->to == UCS2LE) {
        if (left < 2)
            return 0;
        if (c > 0xFFFF)
            return -1;
        out[0] = (unsigned char)c;
        out[1] = (unsigned char)(c >> 8);
        return 2;
    }
    /* UTF-8 in the GNU C library's forms: up to six bytes, as the five- and six-byte forms
     * that it reads come back out of a conversion from UTF-8 to UTF-8. */
    n = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : c < 0x200000 ? 4 : c < 0x4000000 ? 5 : 6;
    if (left < (size_t)n)
        return 0;
    for (i = n - 1; i > 0; --i, c >>= 6)
        out[i] = (unsigned char)(0x80 | (c & 0x3F));
    out[0] = (unsigned char)(n == 1 ? c : ((0xFF00u >> n) & 0xFF) | c);
    return n;
}

size_t iconv(iconv_t cd, char** in, size_t* inLeft, char** out, size_t* outLeft)
{
    if (cd == (iconv_t)-1 || !cd) {
        errno = EBADF;
        return (size_t)-1;
    }
    if (!in || !*in)
        return 0; /* no shift state to reset */
    while (*inLeft > 0) {
        unsigned long c = 0;
        const int read = readCharacter(cd, (const unsigned char*)*in, *inLeft, &c);
        int written;
        if (read <= 0) {
            errno = read == 0 ? EINVAL : EILSEQ;
            return (size_t)-1;
        }
        written = writeCharacter(cd, c, (unsigned char*)*out, *outLeft);
        if (written <= 0) {
            errno = written == 0 ? E2BIG : EILSEQ;
            return (size_t)-1;
        }
        *in += read;
        *inLeft -= (size_t)read;
        *out += written;
        *outLeft -= (size_t)written;
    }
    return 0;
}
