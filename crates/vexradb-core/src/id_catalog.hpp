#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "error.hpp"
#include "id_hash.hpp"
#include "json.hpp"
#include "metadata_index.hpp"
#include "reserve_more.hpp"
#include "types.hpp"

namespace vexradb {

// The bookkeeping every store shares, whatever form it keeps vectors in: the external id of each
// internal id (0, 1, 2 ... never reused), the map from each live external id to its current
// internal id, the metadata of each internal id with an index of its values, the tombstones, and
// which internal ids a later version of their external id replaced.
//
// Each container has its own reader-writer lock, in the order external ids, id map, metadata,
// tombstones. The metadata index goes with the metadata, the replaced marks and the count of dead
// versions with the tombstones. A store that also holds vectors decides where its own locks go
// around these.
class IdCatalog {
 public:
  // The write locks of a new entry: external ids, id map and metadata, in that order.
  struct WriteLocks {
    std::unique_lock<std::shared_mutex> external_ids, id_map, metadata;
  };
  // The read locks a search view holds: metadata, then tombstones.
  struct ViewLocks {
    std::shared_lock<std::shared_mutex> metadata, deleted;
  };

  WriteLocks lock_for_write();
  ViewLocks lock_for_view() const;

  // Under WriteLocks:
  bool is_live_locked(std::string_view id) const { return id_map_.contains(id); }
  // CapacityExceeded when `additional` more ids would not fit in 32 bits.
  Status check_capacity_locked(std::size_t additional) const;
  InternalId next_id_locked() const { return static_cast<InternalId>(external_ids_.size()); }
  // Makes room for `additional` more ids, tombstones and replacement marks included, so that
  // after it only assign_locked can fail to allocate.
  void reserve_locked(std::size_t additional);
  // Gives `id` the next internal id and returns the internal id it replaces, if it was live.
  // Marks the replaced id as no longer current but does not tombstone it: stores choose. After
  // reserve_locked, it either completes or throws having changed nothing.
  std::optional<InternalId> assign_locked(VectorId id, std::optional<Json> metadata);
  // Undoes the newest assign_locked, and the tombstone a store gave the version it replaced:
  // for an insertion that failed after its id was assigned.
  void unassign_last_locked() noexcept;

  // Under ViewLocks:
  const Json* metadata_locked(InternalId id) const;
  bool is_deleted_locked(InternalId id) const { return id < deleted_.size() && deleted_[id]; }
  // Neither tombstoned nor replaced: the version a search may return.
  bool is_current_locked(InternalId id) const {
    return !is_deleted_locked(id) && !(id < replaced_.size() && replaced_[id]);
  }
  std::size_t assigned_count_locked() const { return metadata_.size(); }
  std::size_t current_count_locked() const { return metadata_.size() - dead_count_; }
  const MetadataIndex& metadata_index_locked() const { return metadata_index_; }

  // Each of these takes the locks it needs.
  bool is_live(std::string_view id) const;
  void tombstone(InternalId id);
  // Drops `id` from the id map and tombstones its internal id; false when it was not live.
  bool remove(std::string_view id);
  std::optional<Json> get_metadata(InternalId id) const;
  std::optional<VectorId> get_external_id(InternalId id) const;
  std::optional<InternalId> get_internal_id(std::string_view id) const;
  std::vector<InternalId> all_internal_ids() const;
  std::size_t live_count() const;
  std::size_t assigned_count() const;
  bool is_deleted(InternalId id) const;

 private:
  using IdMap = std::unordered_map<VectorId, InternalId, IdHash, IdEqual>;

  // Marks `id` dead (tombstoned or replaced) in `marks`; the caller holds the tombstone lock.
  void mark_dead_locked(std::vector<bool>& marks, InternalId id);

  mutable std::shared_mutex external_ids_mu_;
  std::vector<VectorId> external_ids_;
  mutable std::shared_mutex id_map_mu_;
  IdMap id_map_;
  mutable std::shared_mutex metadata_mu_;
  std::vector<std::optional<Json>> metadata_;  // indexed by internal id
  MetadataIndex metadata_index_;
  mutable std::shared_mutex deleted_mu_;
  // Indexed by internal id; ids past the end are neither deleted nor replaced.
  std::vector<bool> deleted_;
  std::vector<bool> replaced_;
  std::size_t dead_count_ = 0;  // ids deleted, replaced or both
};

}  // namespace vexradb
