// The viewer's tile store and tile decoding, free of Qt so that they can be
// tested on their own.
//
// TileCache keeps decoded tiles up to a fixed memory budget and drops the
// least recently used ones beyond it. TileLoader decodes tiles on a thread
// of its own: the view hands it the tiles it lacks, most wanted first, and
// each new request replaces the old one, so tiles that scrolled out of view
// before their turn are never decoded.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tessary::app {

inline constexpr int kViewTileEdge = 64;
inline constexpr size_t kViewTileBytes = size_t(kViewTileEdge) * kViewTileEdge;
inline constexpr size_t kDefaultTileBudget = size_t(64) << 20;  // 64 MB

struct TileKey {
    int level = 0;
    int row = 0;
    int column = 0;
    bool operator==(const TileKey&) const = default;
};

struct TileKeyHash {
    size_t operator()(const TileKey& key) const {
        return std::hash<uint64_t>()(uint64_t(uint32_t(key.level)) << 48 ^ uint64_t(uint32_t(key.row)) << 24 ^
                                     uint64_t(uint32_t(key.column)));
    }
};

// 64 x 64 palette indices, top line first; `failed` marks a tile that could
// not be decoded (its pixels are then meaningless).
struct DecodedTile {
    std::vector<uint8_t> pixels;
    bool failed = false;
    std::string error;
};
using TilePointer = std::shared_ptr<const DecodedTile>;

class TileCache {
public:
    explicit TileCache(size_t budgetBytes = kDefaultTileBudget);

    // The tile, marked as the most recently used; null when absent.
    TilePointer Find(const TileKey& key);
    bool Contains(const TileKey& key) const { return entries_.count(key) != 0; }
    // Adds or replaces a tile, then drops the least recently used tiles
    // until the budget holds. A budget below one tile keeps nothing.
    void Insert(const TileKey& key, TilePointer tile);
    void Clear();

    size_t Count() const { return entries_.size(); }
    size_t SizeBytes() const { return entries_.size() * kViewTileBytes; }
    size_t BudgetBytes() const { return budget_; }
    // How many tiles fit into the budget.
    size_t CapacityTiles() const { return budget_ / kViewTileBytes; }

private:
    struct Entry {
        TilePointer tile;
        std::list<TileKey>::iterator use;
    };
    size_t budget_;
    std::list<TileKey> uses_;  // most recently used first
    std::unordered_map<TileKey, Entry, TileKeyHash> entries_;
};

class TileLoader {
public:
    // Decodes one tile into 64 x 64 bytes, top line first; raises on failure.
    using Decoder = std::function<void(const TileKey&, uint8_t*)>;
    // Called on the loader's thread for every tile decoded or failed.
    using Delivery = std::function<void(const TileKey&, TilePointer)>;

    // `makeDecoder` runs on the loader's thread, so a decoder that holds
    // files is only ever used there.
    TileLoader(std::function<Decoder()> makeDecoder, Delivery deliver);
    // Stops after the tile in work and waits for the thread.
    ~TileLoader();
    TileLoader(const TileLoader&) = delete;
    TileLoader& operator=(const TileLoader&) = delete;

    // Replaces the waiting tiles by these, in this order. A tile that is
    // being decoded now is not queued again.
    void Request(std::vector<TileKey> keys);
    // Tiles waiting or in work.
    size_t Outstanding() const;
    // Tiles decoded (or failed) since the start.
    uint64_t DecodedCount() const { return decoded_.load(); }

private:
    void Run(std::function<Decoder()> makeDecoder);

    Delivery deliver_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<TileKey> queue_;
    std::optional<TileKey> working_;
    bool stop_ = false;
    std::atomic<uint64_t> decoded_{0};
    std::thread thread_;
};

}  // namespace tessary::app
