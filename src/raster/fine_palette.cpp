#include "raster/fine_palette.h"

#include <algorithm>
#include <cstdlib>

#include "raster/quantizer.h"

namespace tessary {

namespace {

constexpr int kBins = 1 << 18;
// k-means passes after the split, at most (they stop when nothing moves).
constexpr int kRefinePasses = 8;
// A colour further than this (SeenDifference) from its entry is given an
// entry of its own, at the cost of the two closest entries becoming one,
// for at most an eighth of the entries.
constexpr int kProtectDifference = 40 * 40;

// Rounds sum / count to the nearest integer, halves up (count > 0, sum >= 0).
int RoundDiv(int64_t sum, int64_t count) {
    return int((2 * sum + count) / (2 * count));
}

struct Item {
    int64_t count;
    int64_t sumRed, sumGreen, sumBlue;
    int colour[3];  // red, green, blue: the rounded mean
    uint32_t key;   // the bin, for a total order
};

struct Box {
    size_t begin, end;
    double score;  // weighted squared spread about the mean, all channels
    int axis;      // the channel with the largest spread
};

// How much a channel's spread counts when choosing the box to split and its
// axis: the eye tells greens apart best and blues least.
constexpr double kSplitWeight[3] = {2.0, 4.0, 1.0};

Box MakeBox(const std::vector<Item>& items, size_t begin, size_t end) {
    Box box{begin, end, 0.0, 0};
    double best = -1.0;
    int64_t weight = 0;
    for (size_t i = begin; i < end; ++i) weight += items[i].count;
    for (int c = 0; c < 3; ++c) {
        int64_t s1 = 0, s2 = 0;
        for (size_t i = begin; i < end; ++i) {
            const int64_t v = items[i].colour[c];
            s1 += items[i].count * v;
            s2 += items[i].count * v * v;
        }
        const double spread = kSplitWeight[c] * (double(s2) - double(s1) * double(s1) / double(weight));
        box.score += spread;
        if (spread > best) {
            best = spread;
            box.axis = c;
        }
    }
    if (end - begin < 2) box.score = -1.0;
    return box;
}

// Splits `box` along its axis where the two halves differ most (the largest
// between-class spread), items sorted by that channel, then by bin.
size_t SplitPoint(std::vector<Item>& items, const Box& box) {
    const int c = box.axis;
    std::sort(items.begin() + std::ptrdiff_t(box.begin), items.begin() + std::ptrdiff_t(box.end),
              [c](const Item& a, const Item& b) {
                  if (a.colour[c] != b.colour[c]) return a.colour[c] < b.colour[c];
                  return a.key < b.key;
              });
    int64_t totalWeight = 0, totalSum = 0;
    for (size_t i = box.begin; i < box.end; ++i) {
        totalWeight += items[i].count;
        totalSum += items[i].count * items[i].colour[c];
    }
    int64_t leftWeight = 0, leftSum = 0;
    size_t bestCut = box.begin + 1;
    double bestGain = -1.0;
    for (size_t i = box.begin + 1; i < box.end; ++i) {
        leftWeight += items[i - 1].count;
        leftSum += items[i - 1].count * items[i - 1].colour[c];
        if (items[i - 1].colour[c] == items[i].colour[c]) continue;
        const int64_t rightWeight = totalWeight - leftWeight;
        const int64_t rightSum = totalSum - leftSum;
        const double gain = double(leftSum) * double(leftSum) / double(leftWeight) +
                            double(rightSum) * double(rightSum) / double(rightWeight);
        if (gain > bestGain) {
            bestGain = gain;
            bestCut = i;
        }
    }
    return bestCut;
}

struct Entry {
    int colour[3];
};

PaletteEntry ToPaletteEntry(const Entry& e) {
    return PaletteEntry{uint8_t(e.colour[2]), uint8_t(e.colour[1]), uint8_t(e.colour[0]), 0};
}

Palette ToPalette(const std::vector<Entry>& entries) {
    Palette palette{};
    for (size_t i = 0; i < entries.size(); ++i) palette[i] = ToPaletteEntry(entries[i]);
    return palette;
}

int Distance(const int* a, const int* b) {
    return std::abs(a[0] - b[0]) + std::abs(a[1] - b[1]) + std::abs(a[2] - b[2]);
}

// A squared colour difference weighted as the eye weights the channels
// (red and blue by the mean red, green most), in integers: the choice of
// protected colours must not depend on a machine's floating point.
int SeenDifference(const int* a, const int* b) {
    const int redMean = (a[0] + b[0]) / 2;
    const int dr = a[0] - b[0], dg = a[1] - b[1], db = a[2] - b[2];
    return (((512 + redMean) * dr * dr) >> 8) + 4 * dg * dg + (((767 - redMean) * db * db) >> 8);
}

struct Assignment {
    std::vector<uint8_t> entry;  // per item
    std::vector<int64_t> count, sumRed, sumGreen, sumBlue;  // per entry
};

// Gives every item its nearest entry (the mapping's own rule) and each
// entry the sums of its items.
Assignment Assign(const std::vector<Item>& items, const std::vector<Entry>& entries) {
    Assignment a;
    const size_t k = entries.size();
    a.entry.resize(items.size());
    a.count.assign(k, 0);
    a.sumRed.assign(k, 0);
    a.sumGreen.assign(k, 0);
    a.sumBlue.assign(k, 0);
    NearestPaletteSearch search(ToPalette(entries), int(k));
    for (size_t i = 0; i < items.size(); ++i) {
        const Item& item = items[i];
        const uint8_t e = search.Find(uint8_t(item.colour[0]), uint8_t(item.colour[1]), uint8_t(item.colour[2]));
        a.entry[i] = e;
        a.count[e] += item.count;
        a.sumRed[e] += item.sumRed;
        a.sumGreen[e] += item.sumGreen;
        a.sumBlue[e] += item.sumBlue;
    }
    return a;
}

// Moves every entry that has items to their mean. Gives whether one moved.
bool MoveToMeans(const Assignment& a, std::vector<Entry>& entries) {
    bool moved = false;
    for (size_t e = 0; e < entries.size(); ++e) {
        if (a.count[e] == 0) continue;
        const Entry mean{{RoundDiv(a.sumRed[e], a.count[e]), RoundDiv(a.sumGreen[e], a.count[e]),
                          RoundDiv(a.sumBlue[e], a.count[e])}};
        if (Distance(mean.colour, entries[e].colour) != 0) moved = true;
        entries[e] = mean;
    }
    return moved;
}

}  // namespace

ColourHistogram::ColourHistogram()
    : bins_(kBins), exactKeys_(kExactSlots, 0), exactCounts_(kExactSlots, 0) {}

std::vector<std::pair<uint32_t, int64_t>> ColourHistogram::ExactColours() const {
    std::vector<std::pair<uint32_t, int64_t>> colours;
    if (overflow_) return colours;
    for (uint32_t slot = 0; slot < kExactSlots; ++slot)
        if (exactKeys_[slot] != 0) colours.emplace_back(exactKeys_[slot] - 1, exactCounts_[slot]);
    std::sort(colours.begin(), colours.end());
    return colours;
}

void ColourHistogram::AddRow(const uint8_t* bgr, int pixels) {
    for (int x = 0; x < pixels; ++x) {
        const uint8_t* p = bgr + 3 * size_t(x);
        Add(p[2], p[1], p[0]);
    }
}

void ColourHistogram::AddIndexedRow(const uint8_t* indices, const Palette& palette, int pixels) {
    for (int x = 0; x < pixels; ++x) {
        const PaletteEntry& e = palette[indices[x]];
        Add(e.red, e.green, e.blue);
    }
}

int BuildFinePalette(const ColourHistogram& histogram, int colours, Palette& palette) {
    palette = Palette{};
    const size_t k = size_t(std::clamp(colours, 1, 256));
    std::vector<Item> items;
    for (const auto& [colour, count] : histogram.ExactColours()) {
        const int r = int(colour >> 16), g = int((colour >> 8) & 0xFF), b = int(colour & 0xFF);
        items.push_back(Item{count, count * r, count * g, count * b, {r, g, b}, colour});
    }
    const bool exact = !items.empty();
    for (uint32_t key = 0; key < uint32_t(kBins) && !exact; ++key) {
        const ColourHistogram::Bin& b = histogram.Bins()[key];
        if (b.count == 0) continue;
        Item item{b.count, b.sumRed, b.sumGreen, b.sumBlue, {}, key};
        if (b.exact != ColourHistogram::kMixed) {
            item.colour[0] = int((b.exact >> 16) & 0xFF);
            item.colour[1] = int((b.exact >> 8) & 0xFF);
            item.colour[2] = int(b.exact & 0xFF);
        } else {
            item.colour[0] = RoundDiv(b.sumRed, b.count);
            item.colour[1] = RoundDiv(b.sumGreen, b.count);
            item.colour[2] = RoundDiv(b.sumBlue, b.count);
        }
        items.push_back(item);
    }
    if (items.empty()) return 0;
    if (items.size() <= k) {
        for (size_t i = 0; i < items.size(); ++i)
            palette[i] = ToPaletteEntry(Entry{{items[i].colour[0], items[i].colour[1], items[i].colour[2]}});
        return int(items.size());
    }

    // Median cut: split the box of the largest spread until there are k.
    std::vector<Box> boxes{MakeBox(items, 0, items.size())};
    while (boxes.size() < k) {
        size_t widest = 0;
        for (size_t b = 1; b < boxes.size(); ++b)
            if (boxes[b].score > boxes[widest].score) widest = b;
        if (boxes[widest].score <= 0.0) break;
        const Box box = boxes[widest];
        const size_t cut = SplitPoint(items, box);
        boxes[widest] = MakeBox(items, box.begin, cut);
        boxes.push_back(MakeBox(items, cut, box.end));
    }
    std::vector<Entry> entries;
    for (const Box& box : boxes) {
        int64_t count = 0, r = 0, g = 0, bl = 0;
        for (size_t i = box.begin; i < box.end; ++i) {
            count += items[i].count;
            r += items[i].sumRed;
            g += items[i].sumGreen;
            bl += items[i].sumBlue;
        }
        entries.push_back(Entry{{RoundDiv(r, count), RoundDiv(g, count), RoundDiv(bl, count)}});
    }
    // Items back in bin order, so that what follows does not depend on
    // the order the splits left them in.
    std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.key < b.key; });

    // Lloyd passes with the mapping's nearest-entry rule.
    for (int pass = 0; pass < kRefinePasses; ++pass) {
        if (!MoveToMeans(Assign(items, entries), entries)) break;
    }

    // Rare colours far from every entry: each of the farthest (an eighth
    // of the entries at most, none near one already taken) gets an entry of
    // its own, freed by merging the two closest entries; then the entries
    // settle again.
    if (entries.size() >= 2) {
        const Assignment a = Assign(items, entries);
        std::vector<std::pair<int, size_t>> far;  // (difference, item)
        for (size_t i = 0; i < items.size(); ++i) {
            const int d = SeenDifference(items[i].colour, entries[a.entry[i]].colour);
            if (d > kProtectDifference) far.emplace_back(d, i);
        }
        std::sort(far.begin(), far.end(), [](const auto& x, const auto& y) {
            return x.first != y.first ? x.first > y.first : x.second < y.second;
        });
        std::vector<size_t> taken;
        for (const auto& [d, i] : far) {
            if (taken.size() >= k / 8) break;
            bool near = false;
            for (size_t t : taken) near = near || SeenDifference(items[i].colour, items[t].colour) <= kProtectDifference;
            if (!near) taken.push_back(i);
        }
        std::vector<int64_t> count = a.count, sumRed = a.sumRed, sumGreen = a.sumGreen, sumBlue = a.sumBlue;
        for (size_t t : taken) {
            size_t first = 0, second = 1;
            int closest = 0x7FFFFFFF;
            for (size_t i = 0; i < entries.size(); ++i)
                for (size_t j = i + 1; j < entries.size(); ++j) {
                    const int d = SeenDifference(entries[i].colour, entries[j].colour);
                    if (d < closest) {
                        closest = d;
                        first = i;
                        second = j;
                    }
                }
            count[first] += count[second];
            sumRed[first] += sumRed[second];
            sumGreen[first] += sumGreen[second];
            sumBlue[first] += sumBlue[second];
            if (count[first] > 0) {
                entries[first] = Entry{{RoundDiv(sumRed[first], count[first]), RoundDiv(sumGreen[first], count[first]),
                                        RoundDiv(sumBlue[first], count[first])}};
            }
            const Item& rare = items[t];
            entries[second] = Entry{{rare.colour[0], rare.colour[1], rare.colour[2]}};
            count[second] = rare.count;
            sumRed[second] = rare.sumRed;
            sumGreen[second] = rare.sumGreen;
            sumBlue[second] = rare.sumBlue;
        }
        if (!taken.empty())
            for (int pass = 0; pass < 2; ++pass)
                if (!MoveToMeans(Assign(items, entries), entries)) break;
    }
    palette = ToPalette(entries);
    return int(entries.size());
}

}  // namespace tessary
