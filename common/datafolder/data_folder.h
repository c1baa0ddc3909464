// The shared data folder: <common application data>\hestalink\vel\ with its
// subfolders "coffre" (installer data, read only) and "log" (every log and
// trace file the system writes).
#ifndef VEL_DATA_FOLDER_H
#define VEL_DATA_FOLDER_H

#ifdef __cplusplus
extern "C" {
#endif

enum DataFolderKind {
    FOLDER_COFFRE = 1, // "\coffre"
    FOLDER_LOG = 2     // "\log"
};

// Finds the data folder, creates its missing levels and gives the path of
// one subfolder, ending with a backslash.
//   dst     buffer for the path, or NULL to ask for its length only
//   dstLen  size of dst in bytes
//   kind    FOLDER_COFFRE or FOLDER_LOG
// Returns
//   0             the path and its NUL were written to dst; also 0 when no
//                 base folder exists at all (dst is then left untouched)
//   the length    of the path without its NUL, when dst is NULL or dstLen
//                 cannot hold the path and its NUL (nothing written)
//   an error code ERROR_INVALID_PARAMETER for an unknown kind, or the
//                 Windows error of a folder that could not be created, or
//                 ERROR_DIRECTORY when a file stands where a folder should, or
//                 ERROR_FILENAME_EXCED_RANGE for a base too long to build
//                 the path from (nothing written)
// Leaves the thread's last error as Windows set it.
unsigned long GetDataFolderPath(char *dst, unsigned long dstLen, unsigned char kind);

#ifdef __cplusplus
}
#endif

#endif
