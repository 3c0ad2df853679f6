#include "raster/fine_palette.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "raster/quantizer.h"

namespace tessary {

namespace {

constexpr int kBins = 1 << 18;
// k-means passes after the split, at most (they stop when nothing moves).
constexpr int kRefinePasses = 2;
// A colour perceived far from its entry gets an entry of its own that stays
// put, for at most a sixteenth of the entries, in at most two rounds; after
// each round the other entries settle in a few more passes.
constexpr size_t kProtectShare = 16;
constexpr int kProtectRounds = 2;
constexpr int kSettlePasses = 1;

// Perceived colour difference in integers (the same on every machine): CIE
// Lab from an sRGB table and an exact integer cube root, compared with the
// chroma and hue differences scaled down for saturated colours as the eye
// does (the 1994 weighting). Lab values are in 1/256 units.
constexpr int32_t kLinear[256] = {
    0,     20,    40,    60,    80,    99,    119,   139,   159,   179,   199,   219,   241,   264,   288,
    313,   340,   367,   396,   427,   458,   491,   526,   562,   599,   637,   677,   718,   761,   805,
    851,   898,   947,   997,   1048,  1101,  1156,  1212,  1270,  1330,  1391,  1453,  1517,  1583,  1651,
    1720,  1791,  1863,  1937,  2013,  2090,  2170,  2250,  2333,  2418,  2504,  2592,  2681,  2773,  2866,
    2961,  3058,  3157,  3258,  3360,  3464,  3570,  3678,  3788,  3900,  4014,  4129,  4247,  4366,  4488,
    4611,  4736,  4864,  4993,  5124,  5257,  5392,  5530,  5669,  5810,  5953,  6099,  6246,  6395,  6547,
    6701,  6856,  7014,  7174,  7336,  7500,  7666,  7834,  8004,  8177,  8352,  8529,  8708,  8889,  9072,
    9258,  9446,  9636,  9828,  10022, 10219, 10418, 10619, 10822, 11028, 11236, 11446, 11658, 11873, 12090,
    12309, 12531, 12754, 12981, 13209, 13440, 13673, 13909, 14147, 14387, 14629, 14874, 15122, 15372, 15624,
    15878, 16135, 16394, 16656, 16920, 17187, 17456, 17727, 18001, 18278, 18556, 18838, 19121, 19408, 19696,
    19988, 20281, 20578, 20876, 21178, 21481, 21788, 22096, 22408, 22722, 23038, 23357, 23679, 24003, 24329,
    24659, 24991, 25325, 25662, 26002, 26344, 26689, 27036, 27387, 27739, 28095, 28453, 28813, 29177, 29543,
    29911, 30283, 30657, 31033, 31413, 31795, 32180, 32567, 32957, 33350, 33746, 34144, 34545, 34949, 35355,
    35765, 36177, 36591, 37009, 37429, 37852, 38278, 38707, 39138, 39572, 40009, 40449, 40892, 41337, 41786,
    42237, 42691, 43147, 43607, 44069, 44534, 45003, 45474, 45947, 46424, 46904, 47386, 47871, 48360, 48851,
    49345, 49842, 50342, 50844, 51350, 51859, 52370, 52884, 53402, 53922, 54445, 54972, 55501, 56033, 56568,
    57106, 57647, 58191, 58738, 59288, 59841, 60397, 60956, 61518, 62083, 62651, 63222, 63796, 64373, 64953,
    65536,
};

// The integer cube root of v (below 2^50): a double's estimate, made exact
// in integers, so that no machine's rounding shows in the result.
int64_t CubeRoot(int64_t v) {
    int64_t r = int64_t(std::cbrt(double(v)));
    while (r > 0 && r * r * r > v) --r;
    while ((r + 1) * (r + 1) * (r + 1) <= v) ++r;
    return r;
}

// The integer square root of v (below 2^52), likewise.
int64_t SquareRoot(int64_t v) {
    int64_t r = int64_t(std::sqrt(double(v)));
    while (r * r > v) --r;
    while ((r + 1) * (r + 1) <= v) ++r;
    return r;
}

// How much more the red-green axis counts for colours of little chroma
// (whole units), in 1/4096: greys tell a tint sooner than bright colours.
constexpr int kNeutralBoost[75] = {
    2048, 2048, 2048, 2047, 2045, 2041, 2034, 2024, 2010, 1991, 1965, 1932, 1892, 1841, 1781,
    1710, 1628, 1534, 1430, 1316, 1195, 1070, 945,  822,  707,  600,  504,  420,  349,  288,
    237,  195,  161,  133,  110,  91,   75,   63,   53,   44,   37,   31,   27,   23,   19,
    17,   14,   12,   11,   9,    8,    7,    6,    5,    5,    4,    4,    3,    3,    3,
    2,    2,    2,    2,    1,    1,    1,    1,    1,    1,    1,    1,    1,    1,    1};

// The Lab companding function of t (65,536 is 1.0), in the same units.
int64_t LabF(int64_t t) {
    if (t * 24389 > int64_t(216) * 65536) return CubeRoot(t << 32);
    return (24389 * t + int64_t(27 * 16) * 65536) / (27 * 116);
}

struct Lab {
    int64_t l, a, b, c;  // lightness, the two opponent axes, chroma
};

Lab ToLab(int red, int green, int blue) {
    const int64_t r = kLinear[red], g = kLinear[green], b = kLinear[blue];
    const int64_t fx = LabF((1777 * r + 1541 * g + 778 * b + 2048) >> 12);
    const int64_t fy = LabF((871 * r + 2929 * g + 296 * b + 2048) >> 12);
    const int64_t fz = LabF((73 * r + 448 * g + 3575 * b + 2048) >> 12);
    Lab lab{(116 * fy - 16 * 65536) / 256, 500 * (fx - fy) / 256, 200 * (fy - fz) / 256, 0};
    lab.c = SquareRoot(lab.a * lab.a + lab.b * lab.b);
    return lab;
}

// The squared difference, in 1/256 units squared.
int64_t PerceivedDifference(const Lab& p, const Lab& q) {
    const int64_t mean = (p.c + q.c) / 512;
    const int64_t boost = 4096 + (mean < 75 ? kNeutralBoost[mean] : 0);
    const int64_t pa = p.a * boost / 4096, qa = q.a * boost / 4096;
    const int64_t pc = SquareRoot(pa * pa + p.b * p.b), qc = SquareRoot(qa * qa + q.b * q.b);
    const int64_t dl = p.l - q.l, dc = pc - qc, da = pa - qa, db = p.b - q.b;
    const int64_t dh2 = std::max<int64_t>(da * da + db * db - dc * dc, 0);
    const int64_t chroma = (pc + qc) / 2;
    const int64_t sc = 4096 + 184 * chroma / 256, sh = 4096 + 61 * chroma / 256;
    const int64_t tc = dc * 4096 / sc;
    return dl * dl + tc * tc + (dh2 * 4096 / sh) * 4096 / sh;
}

int64_t PerceivedLimit(int delta) {
    return int64_t(delta) * delta * 256 * 256;
}

// Rounds sum / count to the nearest integer, halves up (count > 0, sum >= 0).
int RoundDiv(int64_t sum, int64_t count) {
    return int((2 * sum + count) / (2 * count));
}

struct Item {
    int64_t count;
    int64_t sumRed, sumGreen, sumBlue;
    int colour[3];  // red, green, blue: the rounded mean
    uint32_t key;   // the bin, for a total order
    uint8_t box;    // the median cut's box: the first guess at its entry
};

struct Box {
    size_t begin, end;
    double score;  // weighted squared spread about the mean, all channels
    int axis;      // the channel with the largest spread
};

// How much a channel's spread counts when choosing the box to split and its
// axis: the squares of the mapping's rule (greens count most, reds least).
constexpr double kSplitWeight[3] = {QuadraticRule::kRed, QuadraticRule::kGreen,
                                    QuadraticRule::kBlue};

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
// between-class spread), items put in order of that channel (a counting
// sort: only which values fall on either side of the cut matters, and
// nothing after depends on the order within a value).
size_t SplitPoint(std::vector<Item>& items, const Box& box, std::vector<Item>& scratch) {
    const int c = box.axis;
    std::array<size_t, 257> start{};
    for (size_t i = box.begin; i < box.end; ++i) ++start[size_t(items[i].colour[c]) + 1];
    for (size_t v = 1; v < start.size(); ++v) start[v] += start[v - 1];
    scratch.resize(box.end - box.begin);
    for (size_t i = box.begin; i < box.end; ++i) scratch[start[size_t(items[i].colour[c])]++] = items[i];
    std::copy(scratch.begin(), scratch.end(), items.begin() + std::ptrdiff_t(box.begin));
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

struct Assignment {
    std::vector<uint8_t> entry;                             // per item
    std::vector<int64_t> count, sumRed, sumGreen, sumBlue;  // per entry
};

// The nearest entry by the mapping's rule (ties to the lowest index, as
// WeightedPaletteSearch gives it) for colours that come with a guess: the
// k-means passes look up every item once per pass, and an item's entry of
// the pass before (or its box's) is a good one. The rule is the square of
// a norm, and for any direction w, |w.(c - e)| is at most the norm of c - e
// times a constant K of w and the form. So with the guess at squared
// distance D, only entries whose projection on w lies within sqrt(D) K of
// the colour's can win or tie; the entries sorted by projection, the
// search looks at that window only, narrowing it as it finds nearer ones.
// The window is widened a little for rounding: it may hold an extra entry,
// never miss one, so the answer is exact on every machine.
class GuidedSearch {
public:
    explicit GuidedSearch(const std::vector<Entry>& entries) : entries_(entries) {
        // Of a few directions, the one along which the entries spread
        // furthest in the form's own units.
        static constexpr int kDirections[4][3] = {{1, 1, 1}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
        double bestSpread = -1.0;
        for (const auto& w : kDirections) {
            int64_t low = std::numeric_limits<int64_t>::max(), high = std::numeric_limits<int64_t>::min();
            for (const Entry& e : entries) {
                const int64_t p = Project(w, e.colour);
                low = std::min(low, p);
                high = std::max(high, p);
            }
            const double k = Stretch(w);
            const double spread = double(high - low) / k;
            if (spread > bestSpread) {
                bestSpread = spread;
                std::copy(w, w + 3, direction_);
                stretch_ = k;
            }
        }
        // Twice the distance (in the norm) from an entry to its nearest
        // other entry, squared: a colour closer to its guess than half of
        // that is nearer to it than to any other entry (strictly, so no tie
        // can be missed), with no window to look at.
        gap_.assign(entries.size(), std::numeric_limits<int64_t>::max());
        for (size_t e = 0; e < entries.size(); ++e)
            for (size_t f = e + 1; f < entries.size(); ++f) {
                const int* a = entries[e].colour;
                const int* b = entries[f].colour;
                const int64_t d = QuadraticRule::Of(a[0] - b[0], a[1] - b[1], a[2] - b[2]);
                gap_[e] = std::min(gap_[e], d);
                gap_[f] = std::min(gap_[f], d);
            }
        order_.reserve(entries.size());
        for (size_t e = 0; e < entries.size(); ++e)
            order_.push_back(Ranked{Project(direction_, entries[e].colour), uint32_t(e)});
        std::sort(order_.begin(), order_.end(), [](const Ranked& a, const Ranked& b) {
            return a.projection != b.projection ? a.projection < b.projection : a.entry < b.entry;
        });
    }

    uint8_t Find(const int* colour, size_t guess) const {
        size_t best = guess;
        int64_t smallest = DistanceTo(colour, guess);
        if (4 * smallest < gap_[guess]) return uint8_t(guess);
        const int64_t centre = Project(direction_, colour);
        int64_t reach = Reach(smallest);
        const auto start = std::lower_bound(order_.begin(), order_.end(), centre,
                                            [](const Ranked& r, int64_t p) { return r.projection < p; });
        auto consider = [&](const Ranked& r) {
            const int64_t d = DistanceTo(colour, r.entry);
            if (d < smallest || (d == smallest && r.entry < best)) {
                if (d < smallest) reach = Reach(d);
                smallest = d;
                best = r.entry;
            }
        };
        for (auto up = start; up != order_.end() && up->projection - centre <= reach; ++up) consider(*up);
        for (auto down = start; down != order_.begin() && centre - (down - 1)->projection <= reach; --down)
            consider(*(down - 1));
        return uint8_t(best);
    }

private:
    struct Ranked {
        int64_t projection;
        uint32_t entry;
    };
    static int64_t Project(const int* w, const int* colour) {
        return int64_t(w[0]) * colour[0] + int64_t(w[1]) * colour[1] + int64_t(w[2]) * colour[2];
    }
    // K of w: the square root of w's form under the rule's inverse matrix
    // (adjugate over determinant).
    static double Stretch(const int* w) {
        constexpr double r = QuadraticRule::kRed, g = QuadraticRule::kGreen, b = QuadraticRule::kBlue;
        constexpr double rg = QuadraticRule::kRedGreen, rb = QuadraticRule::kRedBlue, gb = QuadraticRule::kGreenBlue;
        const double det = r * (g * b - gb * gb) - rg * (rg * b - gb * rb) + rb * (rg * gb - g * rb);
        const double a00 = g * b - gb * gb, a11 = r * b - rb * rb, a22 = r * g - rg * rg;
        const double a01 = rb * gb - rg * b, a02 = rg * gb - g * rb, a12 = rg * rb - r * gb;
        const double x = w[0], y = w[1], z = w[2];
        return std::sqrt((a00 * x * x + a11 * y * y + a22 * z * z + 2 * (a01 * x * y + a02 * x * z + a12 * y * z)) /
                         det);
    }
    int64_t Reach(int64_t distance) const {
        return int64_t(std::sqrt(double(distance)) * stretch_ * (1.0 + 1e-9)) + 1;
    }
    int64_t DistanceTo(const int* colour, size_t e) const {
        const int* c = entries_[e].colour;
        return QuadraticRule::Of(c[0] - colour[0], c[1] - colour[1], c[2] - colour[2]);
    }

    const std::vector<Entry>& entries_;
    int direction_[3] = {1, 1, 1};
    double stretch_ = 1.0;
    std::vector<int64_t> gap_;
    std::vector<Ranked> order_;
};

// Gives every item its nearest entry (the mapping's own rule), starting
// from its guess, and each entry the sums of its items; the guesses become
// the answers, for the next pass.
Assignment Assign(const std::vector<Item>& items, const std::vector<Entry>& entries, std::vector<uint8_t>& guesses) {
    Assignment a;
    const size_t k = entries.size();
    a.count.assign(k, 0);
    a.sumRed.assign(k, 0);
    a.sumGreen.assign(k, 0);
    a.sumBlue.assign(k, 0);
    const GuidedSearch search(entries);
    for (size_t i = 0; i < items.size(); ++i) {
        const Item& item = items[i];
        const uint8_t e = search.Find(item.colour, guesses[i]);
        guesses[i] = e;
        a.count[e] += item.count;
        a.sumRed[e] += item.sumRed;
        a.sumGreen[e] += item.sumGreen;
        a.sumBlue[e] += item.sumBlue;
    }
    a.entry = guesses;
    return a;
}

// Moves every entry that has items to their mean. Gives whether one moved.
bool MoveToMeans(const Assignment& a, std::vector<Entry>& entries, const std::vector<bool>& pinned) {
    bool moved = false;
    for (size_t e = 0; e < entries.size(); ++e) {
        if (a.count[e] == 0 || pinned[e]) continue;
        const Entry mean{{RoundDiv(a.sumRed[e], a.count[e]), RoundDiv(a.sumGreen[e], a.count[e]),
                          RoundDiv(a.sumBlue[e], a.count[e])}};
        if (Distance(mean.colour, entries[e].colour) != 0) moved = true;
        entries[e] = mean;
    }
    return moved;
}

}  // namespace

uint8_t NearestEntryFromGuess(const Palette& palette, int count, uint8_t red, uint8_t green, uint8_t blue,
                              uint8_t guess) {
    std::vector<Entry> entries;
    for (int k = 0; k < std::clamp(count, 1, 256); ++k) {
        const PaletteEntry& e = palette[size_t(k)];
        entries.push_back(Entry{{e.red, e.green, e.blue}});
    }
    const int colour[3] = {red, green, blue};
    return GuidedSearch(entries).Find(colour, std::min<size_t>(guess, entries.size() - 1));
}

ColourHistogram::ColourHistogram() : exactKeys_(kExactSlots, 0), exactCounts_(kExactSlots, 0) {}

void ColourHistogram::SpillToBins() {
    overflow_ = true;
    bins_.assign(kBins, Bin{});
    for (uint32_t slot = 0; slot < kExactSlots; ++slot) {
        if (exactKeys_[slot] == 0) continue;
        const uint32_t colour = exactKeys_[slot] - 1;
        AddToBin(uint8_t(colour >> 16), uint8_t(colour >> 8), uint8_t(colour), exactCounts_[slot]);
    }
    std::vector<uint32_t>().swap(exactKeys_);
    std::vector<int64_t>().swap(exactCounts_);
}

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

int BuildFinePalette(const ColourHistogram& histogram, int colours, Palette& palette, int protectAbove) {
    palette = Palette{};
    const size_t k = size_t(std::clamp(colours, 1, 256));
    std::vector<Item> items;
    for (const auto& [colour, count] : histogram.ExactColours()) {
        const int r = int(colour >> 16), g = int((colour >> 8) & 0xFF), b = int(colour & 0xFF);
        items.push_back(Item{count, count * r, count * g, count * b, {r, g, b}, colour, 0});
    }
    const bool exact = !items.empty();
    for (uint32_t key = 0; key < uint32_t(histogram.Bins().size()) && !exact; ++key) {
        const ColourHistogram::Bin& b = histogram.Bins()[key];
        if (b.count == 0) continue;
        Item item{b.count, b.sumRed, b.sumGreen, b.sumBlue, {}, key, 0};
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
    std::vector<Item> scratch;
    while (boxes.size() < k) {
        size_t widest = 0;
        for (size_t b = 1; b < boxes.size(); ++b)
            if (boxes[b].score > boxes[widest].score) widest = b;
        if (boxes[widest].score <= 0.0) break;
        const Box box = boxes[widest];
        const size_t cut = SplitPoint(items, box, scratch);
        boxes[widest] = MakeBox(items, box.begin, cut);
        boxes.push_back(MakeBox(items, cut, box.end));
    }
    std::vector<Entry> entries;
    for (const Box& box : boxes) {
        int64_t count = 0, r = 0, g = 0, bl = 0;
        for (size_t i = box.begin; i < box.end; ++i) {
            items[i].box = uint8_t(entries.size());
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
    std::vector<uint8_t> guesses;
    guesses.reserve(items.size());
    for (const Item& item : items) guesses.push_back(item.box);

    // Lloyd passes with the mapping's nearest-entry rule.
    std::vector<bool> pinned(entries.size(), false);
    for (int pass = 0; pass < kRefinePasses; ++pass) {
        if (!MoveToMeans(Assign(items, entries, guesses), entries, pinned)) break;
    }

    // Rare colours far from every entry: each of the farthest (a sixteenth
    // of the entries in all, none near one already taken) gets an entry of
    // its own that stays where it is, freed by merging the two entries
    // whose merging costs least; then the others settle again.
    std::vector<Lab> itemLab;
    size_t pinnedCount = 0;
    const int64_t limit = PerceivedLimit(std::max(protectAbove, 0));
    for (int round = 0; round < kProtectRounds && entries.size() >= 8; ++round) {
        if (itemLab.empty()) {
            itemLab.reserve(items.size());
            for (const Item& item : items)
                itemLab.push_back(ToLab(item.colour[0], item.colour[1], item.colour[2]));
        }
        const Assignment a = Assign(items, entries, guesses);
        std::vector<Lab> entryLab;
        for (const Entry& e : entries) entryLab.push_back(ToLab(e.colour[0], e.colour[1], e.colour[2]));
        std::vector<std::pair<int64_t, size_t>> far;  // (difference, item)
        for (size_t i = 0; i < items.size(); ++i) {
            const int64_t d = PerceivedDifference(itemLab[i], entryLab[a.entry[i]]);
            if (d > limit) far.emplace_back(d, i);
        }
        std::sort(far.begin(), far.end(), [](const auto& x, const auto& y) {
            return x.first != y.first ? x.first > y.first : x.second < y.second;
        });
        std::vector<size_t> taken;
        const size_t budget = entries.size() / kProtectShare;
        for (const auto& [d, i] : far) {
            if (pinnedCount + taken.size() >= budget) break;
            bool near = false;
            for (size_t t : taken) near = near || PerceivedDifference(itemLab[i], itemLab[t]) <= limit;
            if (!near) taken.push_back(i);
        }
        if (taken.empty()) break;
        std::vector<int64_t> count = a.count, sumRed = a.sumRed, sumGreen = a.sumGreen, sumBlue = a.sumBlue;
        // The perceived differences between entries, filled at the first
        // merge and kept up to date after each.
        const size_t n = entries.size();
        std::vector<int64_t> between;
        auto fillRow = [&](size_t i) {
            for (size_t j = 0; j < n; ++j)
                between[i * n + j] = between[j * n + i] = PerceivedDifference(entryLab[i], entryLab[j]);
        };
        for (size_t t : taken) {
            size_t first = 0, second = 0;
            bool found = false;
            for (size_t e = 0; e < n && !found; ++e)
                if (!pinned[e] && count[e] == 0) {
                    second = e;
                    found = true;
                }
            if (!found) {
                if (between.empty()) {
                    between.resize(n * n);
                    for (size_t i = 0; i < n; ++i) fillRow(i);
                }
                // Ward's cost: what the merge adds to the squared error. In
                // doubles (no sum of counts fits a 64-bit product), each
                // step rounded alike on every machine.
                double cheapest = std::numeric_limits<double>::infinity();
                for (size_t i = 0; i < n; ++i) {
                    if (pinned[i]) continue;
                    for (size_t j = i + 1; j < n; ++j) {
                        if (pinned[j]) continue;
                        const double weight =
                            double(count[i]) * double(count[j]) / double(count[i] + count[j]);
                        const double cost = weight * double(between[i * n + j]);
                        if (cost < cheapest) {
                            cheapest = cost;
                            first = i;
                            second = j;
                        }
                    }
                }
                count[first] += count[second];
                sumRed[first] += sumRed[second];
                sumGreen[first] += sumGreen[second];
                sumBlue[first] += sumBlue[second];
                entries[first] =
                    Entry{{RoundDiv(sumRed[first], count[first]), RoundDiv(sumGreen[first], count[first]),
                           RoundDiv(sumBlue[first], count[first])}};
                entryLab[first] =
                    ToLab(entries[first].colour[0], entries[first].colour[1], entries[first].colour[2]);
                fillRow(first);
            }
            const Item& rare = items[t];
            entries[second] = Entry{{rare.colour[0], rare.colour[1], rare.colour[2]}};
            entryLab[second] = itemLab[t];
            pinned[second] = true;
            ++pinnedCount;
            count[second] = rare.count;
            sumRed[second] = rare.sumRed;
            sumGreen[second] = rare.sumGreen;
            sumBlue[second] = rare.sumBlue;
        }
        for (int pass = 0; pass < kSettlePasses; ++pass)
            if (!MoveToMeans(Assign(items, entries, guesses), entries, pinned)) break;
    }
    palette = ToPalette(entries);
    return int(entries.size());
}

}  // namespace tessary
