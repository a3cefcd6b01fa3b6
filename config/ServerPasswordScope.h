// Where the built-in NotesPswd may go: it is the password of the built-in
// update server, so it is sent only to the hosts of the built-in URL. A URL
// that names other hosts (a company mirror) gets no built-in password; a
// password for such a server is configured as NotesPswd beside its URL.
#pragma once

#include <string>
#include <vector>

namespace ServerPasswordScope
{
// The host of each base URL in a URL value (separated by blanks), lower
// case, without user, port or path; "[::1]" keeps its brackets.
std::vector<std::wstring> hostsOf(const std::wstring& urls);

// The hosts of `urls` that are not hosts of `allowedUrls`; empty when all are.
std::vector<std::wstring> foreignHosts(const std::wstring& urls, const std::wstring& allowedUrls);
} // namespace ServerPasswordScope
