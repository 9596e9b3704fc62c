// Writing pages out: roff for man(1), and one Markdown document of every
// page for browsing. Markers in a page ("@statuses", "@operations",
// "@functions") are expanded by the caller before rendering.
#ifndef QOR_MANPAGES_RENDER_H
#define QOR_MANPAGES_RENDER_H

#include <string>
#include <vector>

#include "page.h"

namespace manpages {

struct Manual {
  std::string version;
  std::string documentPath;  // where the Markdown form is installed
};

// The page in man(7) form.
std::string roffPage(const Page& page, const Manual& manual);

// A page that only points at another: ".so man3/other.3".
std::string roffLink(const Page& target);

// Every page in one Markdown document, in the given order, with contents.
std::string markdownDocument(const std::vector<const Page*>& pages, const Manual& manual);

// How a page is referred to: "dsexpgrp(3)".
std::string pageReference(const Page& page);

}  // namespace manpages

#endif
