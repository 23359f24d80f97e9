// The operator page's files, built into rfprobe: nothing a request names
// is ever looked up on the file system.
#pragma once

#include <cstddef>

namespace serve {

struct PageFile {
    const char *path;  // "/", "/page.js"
    const char *type;  // its Content-Type
    const char *body;
};

// The file served at path, or null.
const PageFile *pageFile(const char *path);

}  // namespace serve
