// The card manager's view of the shared data folder routine.
#include "DataFolder.h"

#include "data_folder.h"

namespace vel {

std::string DataFolderPrefix(DataFolderKind kind)
{
    // Cleared first: when the folder cannot be had, the file names stand
    // alone (the current directory).
    char path[260] = {};
    unsigned long rv =
        GetDataFolderPath(path, sizeof path, kind == DataFolderKind::Coffre ? FOLDER_COFFRE : FOLDER_LOG);
    if (rv != 0)
        path[0] = '\0';
    return path;
}

} // namespace vel
