#include "web/web_assets.h"

namespace kelvra::web {
namespace {

bool ends_with(const std::string& text, const std::string& ending) {
  return text.size() >= ending.size() &&
         text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

}  // namespace

const EmbeddedFile* find_embedded_file(const std::string& path) {
  const std::string wanted = path == "/" ? "/index.html" : path;
  for (const EmbeddedFile& file : embedded_files()) {
    if (wanted == file.path) return &file;
  }
  return nullptr;
}

const char* content_type_of(const std::string& path) {
  if (path == "/" || ends_with(path, ".html")) return "text/html; charset=utf-8";
  if (ends_with(path, ".js")) return "text/javascript; charset=utf-8";
  if (ends_with(path, ".css")) return "text/css; charset=utf-8";
  return "application/octet-stream";
}

}  // namespace kelvra::web
