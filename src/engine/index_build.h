// Building the index anew from the records, bottom-up: what recovery does
// when the index alone disagrees with sound records, and what
// `ztadmin reindex` and `ztadmin compact` run.
#ifndef ZT_ENGINE_INDEX_BUILD_H_
#define ZT_ENGINE_INDEX_BUILD_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "engine/external_sort.h"

namespace zt {

// Reports how far a long piece of work got: a stage name, and done out of
// total units of it (total 0: unknown).
using ProgressFn = std::function<void(std::string_view stage, int64_t done, int64_t total)>;

// Makes a new index for the database at data_file (which nobody may hold
// open) from the live records of every table: every key is gathered and
// sorted (in bounded memory, spilling runs to sort.folder), then the pages are written level by level, leaves first, into a
// sibling file (<index>.new), which is synced and renamed over the old one;
// the folder is synced last. A crash leaves the old index or the new one
// whole. An index that is missing, or whose root page does not decode, is
// first replaced by an empty one (it served nothing), so that the records
// can be read at all. On failure error says why and the old index stays.
[[nodiscard]] bool RebuildIndexFile(const std::string& data_file, std::string& error);
[[nodiscard]] bool RebuildIndexFile(const std::string& data_file, std::string& error,
                                    const ProgressFn& progress, const SortOptions& sort = {});

// The first step of RebuildIndexFile on its own, for a caller that must
// open the database before the rebuild: an index file that is missing, or
// whose root page does not decode, is replaced by an empty one (written
// aside, synced, renamed). One that is there but cannot be opened (held by
// a server) is left alone and fails.
[[nodiscard]] bool ReplaceUnreadableIndex(const std::string& data_file, std::string& error);

}  // namespace zt

#endif  // ZT_ENGINE_INDEX_BUILD_H_
