// The parsed definition file of a database opened exclusively: the header
// and the table definitions read so far, as the bytes the file holds.
//
// Exclusive mode means nothing but this process writes the file, and every
// write the Database makes (UpdateTableDef, SetLocationInformation) puts the
// written bytes here too, so a cached record is always exactly what a read
// would return. A record is cached only after a successful read or write; a
// failed write forgets it, since the file's content is then unknown. Shared
// mode never enables the cache: other processes change the file.
//
// Memory is bounded by the format, not by anything the file claims: one
// header and at most kMaxTables definitions (about 3.2 MB).
#ifndef ZT_ENGINE_DEFINITION_CACHE_H_
#define ZT_ENGINE_DEFINITION_CACHE_H_

#include <array>
#include <memory>

#include "engine/definition.h"

namespace zt {

class DefinitionCache {
 public:
  bool enabled() const { return enabled_; }
  // Turns the cache on or off; either way it starts empty.
  void Enable(bool on) {
    Clear();
    enabled_ = on;
  }
  void Clear() {
    header_.reset();
    for (auto& table : tables_) table.reset();
  }

  // The cached header / definition record `slot`, or nullptr.
  const DefinitionHeader* header() const { return header_.get(); }
  const TableDefinition* table(int slot) const {
    return InRange(slot) ? tables_[static_cast<size_t>(slot)].get() : nullptr;
  }
  // Mutable access for a change the caller writes to the file later (an
  // append batch's newest-record offsets).
  TableDefinition* mutable_table(int slot) {
    return InRange(slot) ? tables_[static_cast<size_t>(slot)].get() : nullptr;
  }

  // Stores what the file holds (just read or just written); no-ops when the
  // cache is off.
  void SetHeader(const DefinitionHeader& header) {
    if (!enabled_) return;
    if (!header_) header_ = std::make_unique<DefinitionHeader>();
    *header_ = header;
  }
  void SetTable(int slot, const TableDefinition& definition) {
    if (!enabled_ || !InRange(slot)) return;
    auto& cached = tables_[static_cast<size_t>(slot)];
    if (!cached) cached = std::make_unique<TableDefinition>();
    *cached = definition;
  }
  void ForgetHeader() { header_.reset(); }
  void ForgetTable(int slot) {
    if (InRange(slot)) tables_[static_cast<size_t>(slot)].reset();
  }

 private:
  static bool InRange(int slot) { return slot >= 0 && slot < kMaxTables; }

  bool enabled_ = false;
  std::unique_ptr<DefinitionHeader> header_;
  std::array<std::unique_ptr<TableDefinition>, kMaxTables> tables_;
};

}  // namespace zt

#endif  // ZT_ENGINE_DEFINITION_CACHE_H_
