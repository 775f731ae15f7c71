// The dashboard's files, built into the program from web/dashboard and the plotting library.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kelvra::web {

struct EmbeddedFile {
  const char* path;  // as requested: "/index.html"
  const unsigned char* data;
  std::size_t size;
};

const std::vector<EmbeddedFile>& embedded_files();

// The file served at `path` ("/" is the page itself); nullptr when there is none.
const EmbeddedFile* find_embedded_file(const std::string& path);

// The Content-Type of a file by its name's ending; "application/octet-stream" when unknown.
const char* content_type_of(const std::string& path);

}  // namespace kelvra::web
