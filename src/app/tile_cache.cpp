#include "app/tile_cache.h"

#include <exception>

namespace tessary::app {

TileCache::TileCache(size_t budgetBytes) : budget_(budgetBytes) {}

TilePointer TileCache::Find(const TileKey& key) {
    auto found = entries_.find(key);
    if (found == entries_.end()) return nullptr;
    uses_.splice(uses_.begin(), uses_, found->second.use);
    return found->second.tile;
}

void TileCache::Insert(const TileKey& key, TilePointer tile) {
    auto found = entries_.find(key);
    if (found != entries_.end()) {
        found->second.tile = std::move(tile);
        uses_.splice(uses_.begin(), uses_, found->second.use);
    } else {
        uses_.push_front(key);
        entries_.emplace(key, Entry{std::move(tile), uses_.begin()});
    }
    while (!uses_.empty() && SizeBytes() > budget_) {
        entries_.erase(uses_.back());
        uses_.pop_back();
    }
}

void TileCache::Clear() {
    entries_.clear();
    uses_.clear();
}

TileLoader::TileLoader(std::function<Decoder()> makeDecoder, Delivery deliver)
    : deliver_(std::move(deliver)) {
    thread_ = std::thread([this, make = std::move(makeDecoder)]() mutable { Run(std::move(make)); });
}

TileLoader::~TileLoader() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        queue_.clear();
    }
    wake_.notify_all();
    thread_.join();
}

void TileLoader::Request(std::vector<TileKey> keys) {
    {
        std::lock_guard lock(mutex_);
        queue_.clear();
        for (const TileKey& key : keys)
            if (!working_ || !(*working_ == key)) queue_.push_back(key);
    }
    wake_.notify_all();
}

size_t TileLoader::Outstanding() const {
    std::lock_guard lock(mutex_);
    return queue_.size() + (working_ ? 1 : 0);
}

void TileLoader::Run(std::function<Decoder()> makeDecoder) {
    Decoder decode;
    std::string openError;
    try {
        decode = makeDecoder();
    } catch (const std::exception& error) {
        openError = error.what();
    }
    for (;;) {
        TileKey key;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (stop_) return;
            key = queue_.front();
            queue_.pop_front();
            working_ = key;
        }
        auto tile = std::make_shared<DecodedTile>();
        tile->pixels.assign(kViewTileBytes, 0);
        try {
            if (!decode) throw std::runtime_error(openError);
            decode(key, tile->pixels.data());
        } catch (const std::exception& error) {
            tile->failed = true;
            tile->error = error.what();
        }
        ++decoded_;
        // Delivered before the tile leaves the work slot, so that a view
        // that waits for Outstanding() == 0 has every tile delivered.
        deliver_(key, std::move(tile));
        std::lock_guard lock(mutex_);
        working_.reset();
    }
}

}  // namespace tessary::app
