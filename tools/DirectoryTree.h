// Directory-tree operations for the two workers. None of them logs; after a
// false result platform::getLastError() holds the error of the failing call.
// An empty path is refused (EINVAL). Symbolic links inside a tree are never
// followed; a top-level directory (erased, or moved into) that is a link to a
// folder is used through that one link.
#pragma once

#include <string>

// true when a file, directory or link named path is there
bool pathExists(const std::wstring& path);
// Empties directory (subfolders too when recursive); the directory stays.
// true when everything to delete is gone, or when directory cannot be searched
// (there is then nothing to delete). A subfolder that cannot be searched is
// removed when it is empty and the walk goes on. erased, when given, is set to
// whether directory was there to be emptied: true when it could be searched
// and everything to delete in it is gone, false when it could not be searched
// (missing, not a folder) or the erase failed.
bool eraseTree(const std::wstring& directory, bool recursive, bool* erased = nullptr);
// Moves source to destination, merging into an existing destination folder.
bool moveTree(const std::wstring& source, const std::wstring& destination);
