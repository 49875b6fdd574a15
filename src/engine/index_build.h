// Building the index anew from the records: what recovery does when the
// index alone disagrees with sound records.
#ifndef ZT_ENGINE_INDEX_BUILD_H_
#define ZT_ENGINE_INDEX_BUILD_H_

#include <string>

namespace zt {

// Makes a new index for the database at data_file (which nobody may hold
// open) from the live records of every table: built beside the old one,
// synced, then renamed over it, so a crash leaves the old index or the new
// one whole. On failure error says why and the old index stays.
[[nodiscard]] bool RebuildIndexFile(const std::string& data_file, std::string& error);

}  // namespace zt

#endif  // ZT_ENGINE_INDEX_BUILD_H_
