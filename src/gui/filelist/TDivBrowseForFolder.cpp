#include "filelist/TDivBrowseForFolder.h"

#include "base/UserDialogs.h"

bool TDivBrowseForFolder::Execute()
{
    FolderRequest request;
    request.caption = WindowTitle;
    request.prompt = Title;
    request.startPath = Path;
    const std::optional<QString> chosen = UserDialogs::current().getExistingFolder(request);
    if (!chosen)
        return false;
    Path = *chosen;
    return true;
}
