/* The UTF-8 path calls of utf8-paths.h: the path and the mode become UTF-16 and go to the wide
 * calls. A path that is no valid UTF-8 names no file (ENOENT); a file too large for the size
 * field of "struct stat" is refused as the C library refuses it (EOVERFLOW). */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <wchar.h>
#include <windows.h>

#include "utf8-paths.h"

/* The UTF-16 text of a UTF-8 one, to free; NULL when it is no valid UTF-8. */
static wchar_t* utf16(const char* text)
{
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, NULL, 0);
    if (size <= 0)
        return NULL;
    wchar_t* wide = malloc(sizeof(wchar_t) * (size_t)size);
    if (wide && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, size) != size) {
        free(wide);
        wide = NULL;
    }
    return wide;
}

FILE* vf_utf8_fopen(const char* path, const char* mode)
{
    wchar_t* widePath = utf16(path);
    wchar_t* wideMode = utf16(mode);
    FILE* file = NULL;
    if (widePath && wideMode)
        file = _wfopen(widePath, wideMode);
    else
        errno = widePath ? EINVAL : ENOENT;
    free(widePath);
    free(wideMode);
    return file;
}

int vf_utf8_stat(const char* path, struct stat* status)
{
    wchar_t* widePath = utf16(path);
    struct _stat64 found;
    int result = -1;
    if (!widePath)
        errno = ENOENT;
    else if (_wstat64(widePath, &found) == 0) {
        if ((_off_t)found.st_size != found.st_size) {
            errno = EOVERFLOW;
        } else {
            status->st_dev = found.st_dev;
            status->st_ino = found.st_ino;
            status->st_mode = found.st_mode;
            status->st_nlink = found.st_nlink;
            status->st_uid = found.st_uid;
            status->st_gid = found.st_gid;
            status->st_rdev = found.st_rdev;
            status->st_size = (_off_t)found.st_size;
            status->st_atime = found.st_atime;
            status->st_mtime = found.st_mtime;
            status->st_ctime = found.st_ctime;
            result = 0;
        }
    }
    free(widePath);
    return result;
}
