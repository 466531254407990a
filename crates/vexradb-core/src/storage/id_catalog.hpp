#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/reserve_more.hpp"
#include "base/types.hpp"
#include "metadata/json.hpp"
#include "metadata/metadata_index.hpp"
#include "storage/id_table.hpp"
#include "text/text_index.hpp"

namespace vexradb {

// The bookkeeping every store shares, whatever form it keeps vectors in: the external id of each
// internal id (0, 1, 2 ... never reused), the map from each live external id to its current
// internal id, the metadata of each internal id with an index of its values (and, when one is
// configured, the keyword index of its text), the tombstones, and which internal ids a later
// version of their external id replaced.
//
// Not synchronised: see the threading rule in engine.hpp.
class IdCatalog {
 public:
  bool is_live(std::string_view id) const { return get_internal_id(id).has_value(); }
  // CapacityExceeded when `additional` more ids would not fit in 32 bits.
  Status check_capacity(std::size_t additional) const;
  InternalId next_id() const { return static_cast<InternalId>(texts_.size()); }
  // Makes room for `additional` more ids, tombstones and replacement marks included, so that
  // after it only assign can fail to allocate.
  void reserve(std::size_t additional);
  // Gives `id` the next internal id and returns the internal id it replaces, if it was live.
  // Marks the replaced id as no longer current but does not tombstone it: stores choose. After
  // reserve, it either completes or throws having changed nothing.
  std::optional<InternalId> assign(VectorId id, std::optional<Json> metadata);
  // Undoes the newest assign, and the tombstone a store gave the version it replaced: for an
  // insertion that failed after its id was assigned.
  void unassign_last() noexcept;

  // The metadata stored with an internal id in place, or null.
  const Json* metadata(InternalId id) const;
  bool is_deleted(InternalId id) const { return id < deleted_.size() && deleted_[id]; }
  // Neither tombstoned nor replaced: the version a search may return.
  bool is_current(InternalId id) const {
    return !is_deleted(id) && !(id < replaced_.size() && replaced_[id]);
  }
  // The text of the external id an internal id (below assigned_count()) was assigned under, live
  // or not, in place: valid until the next change.
  std::string_view external_id(InternalId id) const { return texts_[id]; }
  std::size_t assigned_count() const { return texts_.size(); }
  std::size_t current_count() const { return texts_.size() - dead_count_; }
  const MetadataIndex& metadata_index() const { return metadata_index_; }
  // The keyword index, or null when none is configured.
  const TextIndex* text_index() const { return text_index_.get(); }
  // Builds the keyword index `options` describe over every stored version (replacing any
  // earlier one); kept up to date from then on. InvalidParameter for options that describe none.
  Status index_text(const TextIndexOptions& options);

  void tombstone(InternalId id);
  // Drops `id` from the id map and tombstones its internal id; false when it was not live.
  bool remove(std::string_view id);
  std::optional<Json> get_metadata(InternalId id) const;
  std::optional<VectorId> get_external_id(InternalId id) const;
  std::optional<InternalId> get_internal_id(std::string_view id) const;
  std::vector<InternalId> all_internal_ids() const;
  std::size_t live_count() const { return id_table_.size(); }

 private:
  // Marks `id` dead (tombstoned or replaced) in `marks`.
  void mark_dead(std::vector<bool>& marks, InternalId id);

  IdTexts texts_;     // the external id of each internal id
  IdTable id_table_;  // each live external id (its text in texts_) to its internal id
  // Where each internal id's metadata is in metadata_values_, or kNoMetadata: an id without
  // metadata costs 4 bytes, not the size of an empty optional Json.
  std::vector<std::uint32_t> metadata_at_;
  std::vector<Json> metadata_values_;  // in order of their ids
  MetadataIndex metadata_index_;
  std::unique_ptr<TextIndex> text_index_;
  // Indexed by internal id; ids past the end are neither deleted nor replaced.
  std::vector<bool> deleted_;
  std::vector<bool> replaced_;
  std::size_t dead_count_ = 0;  // ids deleted, replaced or both
};

}  // namespace vexradb
