/* The iconv calls that libmdb makes, for the Windows build: the MinGW C library has no iconv.
 * Conversions between UTF-8 and UCS-2LE (the text of Access 2000 and later files) and from a
 * Windows code page (the text of Access 97 files; double-byte ones such as Shift-JIS and Big5
 * included, whose characters are converted whole) to UTF-8, with the results and errors of the
 * GNU C library's iconv, which libmdb uses on Linux: a character that cannot be converted stops
 * the call with EILSEQ, one that the input ends inside with EINVAL, a full output buffer with
 * E2BIG. tests/stage/tst_windows_iconv compares them with the GNU C library's. */
#ifndef VF_ICONV_H
#define VF_ICONV_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vf_iconv* iconv_t;

iconv_t iconv_open(const char* to, const char* from);
size_t iconv(iconv_t cd, char** in, size_t* inLeft, char** out, size_t* outLeft);
int iconv_close(iconv_t cd);

#ifdef __cplusplus
}
#endif

#endif
