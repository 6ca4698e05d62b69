/* A stand-in for the Windows calls that packaging/windows/iconv/iconv.c makes, so that it runs
 * on Linux beside glibc's iconv: the code pages are glibc's ("CP<n>"), converted one call at a
 * time as Windows converts them. What the test then compares is the Windows file's own work:
 * how it cuts the input into characters, UTF-8 and UCS-2 both ways, and the errors it gives. */
#ifndef VF_TEST_WINDOWS_H
#define VF_TEST_WINDOWS_H


#include <stddef.h>
#include <wchar.h>

typedef unsigned int UINT;
typedef unsigned char BYTE;
typedef int BOOL;
#define MB_ERR_INVALID_CHARS 8
#define MAX_DEFAULTCHAR 2
#define MAX_LEADBYTES 12

typedef struct {
    UINT MaxCharSize;
    BYTE DefaultChar[MAX_DEFAULTCHAR];
    BYTE LeadByte[MAX_LEADBYTES];
} CPINFO;

int _strnicmp(const char* a, const char* b, size_t n);
BOOL IsValidCodePage(UINT codePage);
/* Converts the whole input or fails, as with MB_ERR_INVALID_CHARS; UTF-16 units. */
int MultiByteToWideChar(UINT codePage, unsigned long flags, const char* in, int inLength, wchar_t* out, int outLength);
/* A lead byte is one that glibc finds incomplete alone. */
BOOL IsDBCSLeadByteEx(UINT codePage, BYTE byte);
BOOL GetCPInfo(UINT codePage, CPINFO* info);

#endif
