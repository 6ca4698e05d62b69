/* The stand-in's calls, on glibc's iconv (code page n is glibc's "CP<n>"). */
#include "windows.h"

#include <errno.h>
#include <iconv.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

int _strnicmp(const char* a, const char* b, size_t n) { return strncasecmp(a, b, n); }

/* glibc's name of a Windows code page. */
static void codePageName(UINT codePage, char* name, size_t size)
{
    snprintf(name, size, "CP%u", codePage);
}

BOOL IsValidCodePage(UINT codePage)
{
    char name[16];
    codePageName(codePage, name, sizeof name);
    iconv_t cd = iconv_open("UTF-16LE", name);
    if (cd == (iconv_t)-1)
        return 0;
    iconv_close(cd);
    return 1;
}

/* Converts the whole input or fails, as with MB_ERR_INVALID_CHARS; UTF-16 units. */
int MultiByteToWideChar(UINT codePage, unsigned long flags, const char* in, int inLength, wchar_t* out,
                                      int outLength)
{
    char name[16];
    unsigned short units[8];
    char* from = (char*)in;
    char* to = (char*)units;
    size_t fromLeft = (size_t)inLength, toLeft = sizeof units;
    int i, n;
    iconv_t cd;
    (void)flags;
    codePageName(codePage, name, sizeof name);
    cd = iconv_open("UTF-16LE", name);
    if (cd == (iconv_t)-1)
        return 0;
    if (iconv(cd, &from, &fromLeft, &to, &toLeft) == (size_t)-1 || fromLeft != 0) {
        iconv_close(cd);
        return 0;
    }
    iconv_close(cd);
    n = (int)((sizeof units - toLeft) / 2);
    if (n > outLength)
        return 0;
    for (i = 0; i < n; ++i)
        out[i] = units[i];
    return n;
}

/* A lead byte is one that glibc finds incomplete alone. */
BOOL IsDBCSLeadByteEx(UINT codePage, BYTE byte)
{
    char name[16];
    char in[1] = {(char)byte};
    char outBytes[8];
    char* from = in;
    char* to = outBytes;
    size_t fromLeft = 1, toLeft = sizeof outBytes;
    BOOL lead;
    iconv_t cd;
    codePageName(codePage, name, sizeof name);
    cd = iconv_open("UTF-16LE", name);
    if (cd == (iconv_t)-1)
        return 0;
    lead = iconv(cd, &from, &fromLeft, &to, &toLeft) == (size_t)-1 && errno == EINVAL;
    iconv_close(cd);
    return lead;
}

BOOL GetCPInfo(UINT codePage, CPINFO* info)
{
    int byte;
    memset(info, 0, sizeof *info);
    if (!IsValidCodePage(codePage))
        return 0;
    info->MaxCharSize = 1;
    for (byte = 0x80; byte <= 0xFF; ++byte)
        if (IsDBCSLeadByteEx(codePage, (BYTE)byte))
            info->MaxCharSize = codePage == 54936 ? 4 : 2;
    return 1;
}

