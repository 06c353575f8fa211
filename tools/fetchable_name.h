// Whether a release's file can be fetched under its own name: the starter
// asks for update URL + listed path, joined as they are, and web servers
// take the bytes of that URL as URL syntax before they look for the file.
#ifndef STARTER_TOOLS_FETCHABLE_NAME_H_
#define STARTER_TOOLS_FETCHABLE_NAME_H_

#include <string>

// Why a request for the plain join of an update URL and `path` (a listed
// path, "./" + path below the release) would not reach the file `path` on a
// web server that decodes URLs as nginx and Python's http.server do, or ""
// when it would: "#" ends the path at the fragment, "?" at the query, "%"
// starts an escape the server decodes into another name, a control
// character (bytes below 0x20 and 0x7f) is refused by the client before
// any request, and bytes that are not UTF-8 are decoded by the server into
// another name. Such names are refused, not escaped: an escaped name would
// change the URL a starter asks for. Looks at the text only.
std::string WhyUnfetchable(const std::string& path);

#endif  // STARTER_TOOLS_FETCHABLE_NAME_H_
