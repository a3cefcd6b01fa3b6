// Directory-tree operations for the two workers. None of them logs; after a
// false result platform::getLastError() holds the error of the failing call.
// An empty path is refused (EINVAL); symbolic links are never followed.
#pragma once

#include <string>

// true when a file, directory or link named path is there
bool pathExists(const std::wstring& path);
// Empties directory (subfolders too when recursive); the directory stays.
// true when everything to delete is gone, or when directory cannot be searched.
bool eraseTree(const std::wstring& directory, bool recursive);
// Moves source to destination, merging into an existing destination folder.
bool moveTree(const std::wstring& source, const std::wstring& destination);
