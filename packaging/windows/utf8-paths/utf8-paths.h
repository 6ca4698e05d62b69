/* libmdb opens its file with the C library's fopen and stat, which on Windows read a path in the
 * system's ANSI code page: a name that the code page cannot carry (a folder "Łódź" on a Western
 * Windows) could not be opened. libmdb's sources are compiled with this header included first
 * (gcc -include), so that its calls take UTF-8 paths, as on Linux, and reach the wide calls of
 * the C library. Only calls are renamed: "struct stat" keeps its name. */
#ifndef VF_UTF8_PATHS_H
#define VF_UTF8_PATHS_H

#include <stdio.h>
#include <sys/stat.h>

#ifdef __cplusplus
extern "C" {
#endif

FILE* vf_utf8_fopen(const char* path, const char* mode);
int vf_utf8_stat(const char* path, struct stat* status);

#ifdef __cplusplus
}
#endif

#define fopen(path, mode) vf_utf8_fopen(path, mode)
#define stat(path, status) vf_utf8_stat(path, status)

#endif
