// The console's files, compiled into the server from src/service/console/
// by the build (cmake/embed_files.cmake makes console_assets.cc): the only
// files the console ever serves.
#ifndef ZT_SERVICE_CONSOLE_ASSETS_H_
#define ZT_SERVICE_CONSOLE_ASSETS_H_

#include <cstddef>
#include <span>

namespace zt {

struct ConsoleAsset {
  const char* name;          // the file's name, without a folder
  const char* content_type;  // from its extension
  const unsigned char* data;
  size_t size;
};

std::span<const ConsoleAsset> ConsoleAssets();

}  // namespace zt

#endif  // ZT_SERVICE_CONSOLE_ASSETS_H_
