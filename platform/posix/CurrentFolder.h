#pragma once

// Private to the POSIX platform code: the current folder's name as the
// system gives it, byte for byte.

#include <QByteArray>

#include <cerrno>
#include <vector>

#include <unistd.h>

namespace platform::posix {

// Sets `folder` to the current folder's bytes and returns 0, or returns
// the errno of the failure (ENOENT when the folder is gone).
inline int currentFolderBytes(QByteArray &folder)
{
    std::vector<char> buffer(4096);
    while (!::getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE)
            return errno;
        buffer.resize(buffer.size() * 2);
    }
    folder = QByteArray(buffer.data());
    return 0;
}

} // namespace platform::posix
