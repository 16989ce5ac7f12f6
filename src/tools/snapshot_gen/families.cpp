#include "tools/snapshot_gen/families.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <span>
#include <utility>
#include <vector>

#include "tools/snapshot_gen/random.h"

namespace tarn_snapshot_gen {
namespace {

namespace ex = tarn_codegen::exchange;
using ex::ExchangeItemWidth;

// Memory areas of a tile (all below its 640 KiB). The send/receive boundary
// 0x50000 is also a memory-element boundary, so a loopback destination in the
// receive area never shares an element with a source span.
constexpr std::uint32_t kSendBase = 0x10000;
constexpr std::uint32_t kSendEnd = 0x50000;
constexpr std::uint32_t kReceiveBase = 0x50000;
constexpr std::uint32_t kReceiveEnd = 0x90000;
constexpr std::uint32_t kHazardBase = 0x90000;
constexpr std::uint32_t kHazardEnd = 0xA0000;
constexpr std::uint32_t kAreaWords = (kSendEnd - kSendBase) / 4;
static_assert(kReceiveEnd - kReceiveBase == kSendEnd - kSendBase);

constexpr std::uint32_t kMaxWords = 4148;  // largest payload of one transfer

// Buffers of one area, per tile, handed out one after the other. When the
// next one does not fit, allocation starts over at the bottom of the area: the
// new buffer then overlaps older ones, which only adds dependency edges.
class Area {
 public:
  Area(std::uint32_t base, std::uint32_t end, std::uint16_t tiles, Random& random)
      : base_(base), end_(end), next_(tiles) {
    // Tiles start at different offsets, so addresses are not all alike.
    for (auto& next : next_) next = base + 8 * static_cast<std::uint32_t>(random.below(64));
  }

  // `align` is 4 or 8; 4 * words must fit the area.
  std::uint32_t take(std::uint16_t tile, std::uint32_t words, std::uint32_t align) {
    const std::uint32_t bytes = 4 * words;
    assert(bytes <= end_ - base_);
    std::uint32_t at = (next_[tile] + align - 1) & ~(align - 1);
    if (at > end_ || end_ - at < bytes) at = base_;
    next_[tile] = at + bytes;
    return at;
  }

 private:
  std::uint32_t base_;
  std::uint32_t end_;
  std::vector<std::uint32_t> next_;
};

// A buffer that all transfers of one round share on a tile (a transpose
// block, a ring buffer), taken on first use in the round.
struct RoundBuffer {
  std::uint32_t round = 0;  // rounds count from 1, so 0 means none yet
  std::uint32_t address = 0;
};

std::uint64_t phase_seed(std::uint64_t seed, std::uint32_t phase_index) {
  std::uint64_t state = seed;
  state = splitmix64(state) ^ phase_index;
  return splitmix64(state);
}

struct Phase {
  Phase(const GeneratorOptions& options_, std::uint32_t index_, TransferSink& sink_)
      : options(options_),
        index(index_),
        tiles(options_.tile_count),
        random(phase_seed(options_.seed, index_)),
        send(kSendBase, kSendEnd, tiles, random),
        receive(kReceiveBase, kReceiveEnd, tiles, random),
        sink(sink_),
        round_send(tiles),
        round_receive(tiles),
        marks(tiles) {}

  const GeneratorOptions& options;
  std::uint32_t index;
  std::uint16_t tiles;
  Random random;
  Area send;
  Area receive;
  TransferSink& sink;
  ex::ExchangeScheduleTransfer transfer;  // the one being built, reused

  std::uint32_t round = 0;
  std::vector<RoundBuffer> round_send;
  std::vector<RoundBuffer> round_receive;

  std::vector<std::uint32_t> marks;  // for sampling without repetition
  std::uint32_t mark = 0;
  std::vector<std::uint16_t> picked;
};

void begin(Phase& p, std::uint16_t source, std::uint32_t words, ExchangeItemWidth width) {
  p.transfer.source = source;
  p.transfer.words = words;
  p.transfer.width = width;
  p.transfer.source_addresses.clear();
  p.transfer.destinations.clear();
}

void emit(Phase& p) { p.sink.add(p.transfer); }

void send_one(Phase& p, std::uint16_t from, std::uint16_t to, std::uint32_t words) {
  begin(p, from, words, ExchangeItemWidth::Word32);
  p.transfer.source_addresses.push_back(p.send.take(from, words, 4));
  p.transfer.destinations.push_back({to, p.receive.take(to, words, 4)});
  emit(p);
}

std::uint32_t round_buffer(Phase& p, Area& area, std::vector<RoundBuffer>& buffers, std::uint16_t tile,
                           std::uint32_t words) {
  auto& buffer = buffers[tile];
  if (buffer.round != p.round) buffer = {p.round, area.take(tile, words, 4)};
  return buffer.address;
}

// `count` distinct values of [0, population), ascending (Floyd's sampling).
std::span<const std::uint16_t> sample(Phase& p, std::uint32_t count, std::uint32_t population) {
  assert(count <= population && population <= p.marks.size());
  if (++p.mark == 0) {
    std::fill(p.marks.begin(), p.marks.end(), 0);
    p.mark = 1;
  }
  p.picked.clear();
  for (std::uint32_t j = population - count; j < population; ++j) {
    auto value = static_cast<std::uint32_t>(p.random.below(j + 1));
    if (p.marks[value] == p.mark) value = j;
    p.marks[value] = p.mark;
    p.picked.push_back(static_cast<std::uint16_t>(value));
  }
  std::sort(p.picked.begin(), p.picked.end());
  return p.picked;
}

// Maps a value of [0, n - 1) onto the values of [0, n) other than `excluded`.
std::uint16_t skip(std::uint32_t value, std::uint16_t excluded) {
  return static_cast<std::uint16_t>(value < excluded ? value : value + 1);
}

struct Group {
  std::uint16_t start;
  std::uint16_t end;
};

// Consecutive groups of `size` tiles covering every tile. A last group of a
// single tile joins the one before it: alone it would exchange nothing.
std::vector<Group> groups(std::uint16_t tiles, std::uint16_t size) {
  std::vector<Group> result;
  for (std::uint32_t start = 0; start < tiles; start += size) {
    const auto end = static_cast<std::uint16_t>(std::min<std::uint32_t>(start + size, tiles));
    if (end - start == 1 && !result.empty()) {
      result.back().end = end;
    } else {
      result.push_back({static_cast<std::uint16_t>(start), end});
    }
  }
  return result;
}

std::uint16_t largest(const std::vector<Group>& parts) {
  std::uint16_t size = 0;
  for (const auto& g : parts) size = std::max<std::uint16_t>(size, g.end - g.start);
  return size;
}

// A power of two from 2 to 64, at most the tile count (at least 2 tiles).
std::uint16_t group_size(Phase& p) {
  std::uint32_t choices = 0;
  while (choices < 6 && (2u << choices) <= p.tiles) ++choices;
  return static_cast<std::uint16_t>(2u << p.random.below(choices));
}

// Emits `count` transfers of a family built from rounds (one field of a
// halo, one all-to-all, one ring step): whole rounds while they fit, then an
// order-preserving random subset of one more round. `next_round` draws the
// round's parameters and fills `items`; `emit_item` writes one item.
template <typename Item, typename NextRound, typename EmitItem>
void emit_rounds(Phase& p, std::uint64_t count, std::vector<Item>& items, NextRound next_round,
                 EmitItem emit_item) {
  while (count > 0) {
    ++p.round;
    items.clear();
    next_round();
    const std::uint64_t size = items.size();
    assert(size > 0);  // every family has items from two tiles up
    if (size == 0) return;
    if (size <= count) {
      for (const auto& item : items) emit_item(item);
      count -= size;
      continue;
    }
    // Selection sampling: item i is taken with probability needed / (size - i).
    std::uint64_t needed = count;
    for (std::uint64_t i = 0; i < size && needed > 0; ++i) {
      if (p.random.below(size - i) < needed) {
        emit_item(items[i]);
        --needed;
      }
    }
    count = 0;
  }
}

// Tiles on a grid of ceil(sqrt(n)) columns, row by row. A round is one field:
// every tile sends its boundary rows and columns (and with a 9-point stencil
// its corners) to the neighbours that exist.
void halo(Phase& p, std::uint64_t count) {
  const int tiles = p.tiles;
  int columns = 1;
  while (columns * columns < tiles) ++columns;
  const int rows = (tiles + columns - 1) / columns;

  struct Item {
    std::uint16_t from;
    std::uint16_t to;
    std::uint8_t kind;  // 0: a row, 1: a column, 2: a corner
  };
  struct Offset {
    int dx;
    int dy;
    std::uint8_t kind;
  };
  static constexpr std::array<Offset, 8> kOffsets{{
      {0, -1, 0}, {0, 1, 0}, {-1, 0, 1}, {1, 0, 1}, {-1, -1, 2}, {1, -1, 2}, {-1, 1, 2}, {1, 1, 2},
  }};
  std::vector<Item> items;
  std::array<std::uint32_t, 3> words{};
  emit_rounds(
      p, count, items,
      [&] {
        const auto depth = static_cast<std::uint32_t>(p.random.between(1, 2));
        const std::size_t neighbours = p.random.chance(1, 4) ? 8 : 4;
        words[0] = std::min(kMaxWords, p.random.log_uniform(1, 256) * depth);
        words[1] = std::min(kMaxWords, p.random.log_uniform(1, 256) * depth);
        words[2] = depth * depth;
        for (int t = 0; t < tiles; ++t) {
          const int x = t % columns;
          const int y = t / columns;
          for (std::size_t k = 0; k < neighbours; ++k) {
            const int nx = x + kOffsets[k].dx;
            const int ny = y + kOffsets[k].dy;
            if (nx < 0 || nx >= columns || ny < 0 || ny >= rows) continue;
            const int to = ny * columns + nx;
            if (to >= tiles) continue;
            items.push_back({static_cast<std::uint16_t>(t), static_cast<std::uint16_t>(to), kOffsets[k].kind});
          }
        }
      },
      [&](const Item& item) { send_one(p, item.from, item.to, words[item.kind]); });
}

// A round is one transpose in every group: each tile sends block j of its send
// buffer to member j, which receives it into slot i of its receive buffer.
void all_to_all(Phase& p, std::uint64_t count) {
  struct Item {
    std::uint16_t from;
    std::uint16_t to;
    std::uint16_t from_slot;
    std::uint16_t to_slot;
    std::uint16_t group_size;
  };
  std::vector<Item> items;
  std::uint32_t block = 0;
  emit_rounds(
      p, count, items,
      [&] {
        const auto parts = groups(p.tiles, group_size(p));
        block = p.random.log_uniform(1, std::min(1024u, kAreaWords / largest(parts)));
        for (const auto& g : parts) {
          const auto size = static_cast<std::uint16_t>(g.end - g.start);
          for (std::uint16_t i = g.start; i < g.end; ++i) {
            for (std::uint16_t j = g.start; j < g.end; ++j) {
              if (i == j) continue;
              items.push_back({i, j, static_cast<std::uint16_t>(i - g.start), static_cast<std::uint16_t>(j - g.start),
                               size});
            }
          }
        }
      },
      [&](const Item& item) {
        const std::uint32_t buffer = item.group_size * block;
        begin(p, item.from, block, ExchangeItemWidth::Word32);
        p.transfer.source_addresses.push_back(round_buffer(p, p.send, p.round_send, item.from, buffer) +
                                              4 * block * item.to_slot);
        p.transfer.destinations.push_back(
            {item.to, round_buffer(p, p.receive, p.round_receive, item.to, buffer) + 4 * block * item.from_slot});
        emit(p);
      });
}

// A round is one step of a ring collective over every ring (the whole tile
// range or groups of it), one transfer per member to its ring neighbour. The
// step follows the phase index, as consecutive phases run consecutive steps.
// Reduce-scatter sends a piece of the local buffer into a scratch buffer;
// all-gather sends a piece into the same slot of the receiver's full buffer.
void ring(Phase& p, std::uint64_t count) {
  struct Item {
    std::uint16_t from;
    std::uint16_t to;
    std::uint16_t slot;
    std::uint16_t ring_size;
  };
  std::vector<Item> items;
  bool all_gather = false;
  std::uint32_t chunk = 0;
  emit_rounds(
      p, count, items,
      [&] {
        const auto parts = groups(p.tiles, p.random.chance(1, 3) ? p.tiles : group_size(p));
        all_gather = p.random.chance(1, 2);
        const bool forward = p.random.chance(1, 2);
        chunk = p.random.log_uniform(1, std::min(1024u, kAreaWords / largest(parts)));
        for (const auto& g : parts) {
          const auto size = static_cast<std::uint16_t>(g.end - g.start);
          for (std::uint16_t i = 0; i < size; ++i) {
            const auto next = static_cast<std::uint16_t>(forward ? (i + 1) % size : (i + size - 1) % size);
            items.push_back({static_cast<std::uint16_t>(g.start + i), static_cast<std::uint16_t>(g.start + next), i,
                             size});
          }
        }
      },
      [&](const Item& item) {
        const std::uint32_t size = item.ring_size;
        const std::uint32_t step = p.index % size;
        const std::uint32_t buffer = size * chunk;
        const std::uint32_t piece = all_gather ? (item.slot + size - step) % size : (item.slot + 2 * size - step - 1) % size;
        begin(p, item.from, chunk, ExchangeItemWidth::Word32);
        p.transfer.source_addresses.push_back(round_buffer(p, p.send, p.round_send, item.from, buffer) +
                                              4 * chunk * piece);
        const std::uint32_t destination =
            all_gather ? round_buffer(p, p.receive, p.round_receive, item.to, buffer) + 4 * chunk * piece
                       : p.receive.take(item.to, chunk, 4);
        p.transfer.destinations.push_back({item.to, destination});
        emit(p);
      });
}

// Every other tile sends a block into one hot tile, whose receive slots follow
// each other. Blocks are small enough for all `count` receives to fit the hot
// tile's receive area where that is possible.
void gather(Phase& p, std::uint64_t count) {
  const auto hot = static_cast<std::uint16_t>(p.random.below(p.tiles));
  const auto most = static_cast<std::uint32_t>(std::clamp<std::uint64_t>(kAreaWords / count, 1, 1024));
  std::vector<std::uint16_t> items;
  std::uint32_t words = 0;
  emit_rounds(
      p, count, items,
      [&] {
        words = p.random.log_uniform(1, most);
        for (std::uint16_t t = 0; t < p.tiles; ++t) {
          if (t != hot) items.push_back(t);
        }
      },
      [&](std::uint16_t from) { send_one(p, from, hot, words); });
}

// Transfers that width selection can turn into paired ones: even word counts,
// 8-byte aligned addresses, a source whose partner (tile XOR 1) exists, and
// destinations that are complete pairs other than the source's own.
// `paired_percent` of them are written as Paired64 already. With fewer than
// two complete pairs that is impossible; those transfers stay ordinary, to
// the pair of tiles 0 and 1 or to the partner tile.
void paired(Phase& p, std::uint64_t count) {
  const std::uint32_t pairs = p.tiles / 2u;
  for (std::uint64_t c = 0; c < count; ++c) {
    const std::uint32_t words = 2 * p.random.log_uniform(1, 1024);
    if (pairs < 2) {
      const auto source = static_cast<std::uint16_t>(p.random.below(p.tiles));
      begin(p, source, words, ExchangeItemWidth::Word32);
      p.transfer.source_addresses.push_back(p.send.take(source, words, 8));
      for (std::uint16_t to = 0; to < 2; ++to) {
        if (source >= 2 || to == (source ^ 1u)) p.transfer.destinations.push_back({to, p.receive.take(to, words, 8)});
      }
      emit(p);
      continue;
    }
    const auto source = static_cast<std::uint16_t>(p.random.below(2 * pairs));
    const auto wanted = p.random.chance(1, 2) ? 1u : p.random.log_uniform(1, std::min(16u, pairs - 1));
    const bool as_paired = p.random.below(100) < p.options.paired_percent;
    begin(p, source, words, as_paired ? ExchangeItemWidth::Paired64 : ExchangeItemWidth::Word32);
    p.transfer.source_addresses.push_back(p.send.take(source, words, 8));
    for (const std::uint16_t pair : sample(p, wanted, pairs - 1)) {
      const std::uint16_t j = skip(pair, static_cast<std::uint16_t>(source / 2));
      auto first = static_cast<std::uint16_t>(2 * j);
      auto second = static_cast<std::uint16_t>(2 * j + 1);
      if (p.random.chance(1, 4)) std::swap(first, second);
      p.transfer.destinations.push_back({first, p.receive.take(first, words, 8)});
      p.transfer.destinations.push_back({second, p.receive.take(second, words, 8)});
    }
    emit(p);
  }
}

// A buffer sent once per repeat iteration from consecutive slices of the
// source's memory, in ascending, descending or shuffled order.
void repeat(Phase& p, std::uint64_t count) {
  for (std::uint64_t c = 0; c < count; ++c) {
    const auto source = static_cast<std::uint16_t>(p.random.below(p.tiles));
    const auto iterations = static_cast<std::uint32_t>(p.random.between(2, 8));
    const std::uint32_t words = p.random.log_uniform(1, 512);
    const std::uint32_t base = p.send.take(source, iterations * words, 4);
    begin(p, source, words, ExchangeItemWidth::Word32);
    auto& addresses = p.transfer.source_addresses;
    for (std::uint32_t i = 0; i < iterations; ++i) addresses.push_back(base + 4 * words * i);
    switch (p.random.below(4)) {
      case 0:
        std::reverse(addresses.begin(), addresses.end());
        break;
      case 1:
        for (std::size_t i = addresses.size() - 1; i > 0; --i) std::swap(addresses[i], addresses[p.random.below(i + 1)]);
        break;
      default:
        break;
    }
    const auto fanout = p.random.chance(3, 4) ? 1u : static_cast<std::uint32_t>(p.random.between(1, std::min(3, p.tiles - 1)));
    for (const std::uint16_t other : sample(p, fanout, p.tiles - 1u)) {
      const std::uint16_t to = skip(other, source);
      p.transfer.destinations.push_back({to, p.receive.take(to, words, 4)});
    }
    emit(p);
  }
}

// One root buffer to a run of consecutive tiles or to a scattered set, mostly
// a few dozen tiles, now and then every tile. A sixteenth of the broadcasts
// also deliver to the root itself (a loopback, into its receive area).
void broadcast(Phase& p, std::uint64_t count) {
  const std::uint32_t others = p.tiles - 1u;
  std::vector<std::uint16_t> receivers;
  for (std::uint64_t c = 0; c < count; ++c) {
    const auto root = static_cast<std::uint16_t>(p.random.below(p.tiles));
    const std::uint32_t fanout = p.random.chance(1, 256) ? others : p.random.log_uniform(1, std::min(others, 64u));
    const std::uint32_t words = p.random.log_uniform(1, 1024);
    receivers.clear();
    if (p.random.chance(1, 2)) {
      auto t = static_cast<std::uint16_t>(p.random.below(p.tiles));
      while (receivers.size() < fanout) {
        if (t != root) receivers.push_back(t);
        t = static_cast<std::uint16_t>((t + 1u) % p.tiles);
      }
      std::sort(receivers.begin(), receivers.end());
    } else {
      for (const std::uint16_t other : sample(p, fanout, others)) receivers.push_back(skip(other, root));
    }
    if (p.random.chance(1, 16)) receivers.insert(std::lower_bound(receivers.begin(), receivers.end(), root), root);
    begin(p, root, words, ExchangeItemWidth::Word32);
    p.transfer.source_addresses.push_back(p.send.take(root, words, 4));
    for (const std::uint16_t to : receivers) p.transfer.destinations.push_back({to, p.receive.take(to, words, 4)});
    emit(p);
  }
}

// Transfers within small clusters of tiles, all reading and writing one small
// window of each tile's memory. Besides random spans, a transfer often reads
// back a span just written (read after write) or overwrites a span just read
// (write after read), so the dependency graph is dense.
void hazard(Phase& p, std::uint64_t count) {
  const auto parts = groups(p.tiles, static_cast<std::uint16_t>(p.random.between(2, std::min(8, +p.tiles))));
  const std::uint32_t window = 0x1000u << p.random.below(3);
  const std::uint32_t base = kHazardBase + 0x1000u * static_cast<std::uint32_t>(
                                                         p.random.below((kHazardEnd - kHazardBase - window) / 0x1000 + 1));
  const std::uint16_t cluster_size = parts.front().end - parts.front().start;
  auto cluster_of = [&](std::uint16_t tile) {
    return parts[std::min<std::size_t>(tile / cluster_size, parts.size() - 1)];
  };
  auto address = [&](std::uint32_t words) {
    return base + 4 * static_cast<std::uint32_t>(p.random.below(window / 4 - words + 1));
  };
  // A member of the tile's cluster other than the excluded ones (at most two, ascending).
  auto member = [&](std::uint16_t tile, std::uint16_t low, std::uint16_t high, std::uint32_t excluded) {
    const Group g = cluster_of(tile);
    auto t = static_cast<std::uint16_t>(g.start + p.random.below(g.end - g.start - excluded));
    if (t >= low) ++t;
    if (excluded == 2 && t >= high) ++t;
    return t;
  };

  struct Span {
    std::uint16_t tile;
    std::uint32_t address;
    std::uint32_t words;
  };
  constexpr std::size_t kRecent = 16;
  std::array<Span, kRecent> reads{};
  std::array<Span, kRecent> writes{};
  std::uint64_t read_count = 0;
  std::uint64_t write_count = 0;

  for (std::uint64_t c = 0; c < count; ++c) {
    const auto kind = p.random.below(10);
    std::uint16_t source = 0;
    std::uint32_t source_address = 0;
    std::uint32_t words = 0;
    std::uint16_t to = 0;
    std::uint32_t to_address = 0;
    if (kind < 3 && write_count > 0) {
      const Span& w = writes[p.random.below(std::min<std::uint64_t>(write_count, kRecent))];
      source = w.tile;
      words = static_cast<std::uint32_t>(p.random.between(1, w.words));
      source_address = w.address + 4 * static_cast<std::uint32_t>(p.random.below(w.words - words + 1));
      to = member(source, source, source, 1);
      to_address = address(words);
    } else if (kind < 6 && read_count > 0) {
      const Span& r = reads[p.random.below(std::min<std::uint64_t>(read_count, kRecent))];
      to = r.tile;
      to_address = r.address;
      words = r.words;
      source = member(to, to, to, 1);
      source_address = address(words);
    } else {
      words = p.random.log_uniform(1, 256);
      source = static_cast<std::uint16_t>(p.random.below(p.tiles));
      source_address = address(words);
      to = member(source, source, source, 1);
      to_address = address(words);
    }
    begin(p, source, words, ExchangeItemWidth::Word32);
    p.transfer.source_addresses.push_back(source_address);
    p.transfer.destinations.push_back({to, to_address});
    const Group g = cluster_of(source);
    if (g.end - g.start >= 3 && p.random.chance(1, 4)) {
      const auto other = member(source, std::min(source, to), std::max(source, to), 2);
      p.transfer.destinations.push_back({other, address(words)});
    }
    reads[read_count++ % kRecent] = {source, source_address, words};
    for (const auto& d : p.transfer.destinations) writes[write_count++ % kRecent] = {d.tile, d.address, words};
    emit(p);
  }
}

void emit_family(Phase& p, Family family, std::uint64_t count);

// A phase of a few segments, each of a family drawn at random; the segments
// share the tiles' memory areas, as the exchanges of one compiled phase do.
void mix(Phase& p, std::uint64_t count) {
  const auto segments = static_cast<std::size_t>(p.random.between(1, 4));
  std::array<std::uint64_t, 5> cuts{};
  // At most three inner cuts, kept ascending by insertion.
  for (std::size_t i = 1; i < segments; ++i) {
    const std::uint64_t cut = p.random.between(0, count);
    std::size_t at = i;
    for (; at > 1 && cuts[at - 1] > cut; --at) cuts[at] = cuts[at - 1];
    cuts[at] = cut;
  }
  cuts[segments] = count;
  for (std::size_t i = 0; i < segments; ++i) {
    const Family family = kFamilies[p.random.below(kFamilies.size() - 1)];  // any but Mix itself
    emit_family(p, family, cuts[i + 1] - cuts[i]);
  }
}

void emit_family(Phase& p, Family family, std::uint64_t count) {
  if (count == 0) return;
  switch (family) {
    case Family::Halo:
      return halo(p, count);
    case Family::AllToAll:
      return all_to_all(p, count);
    case Family::Broadcast:
      return broadcast(p, count);
    case Family::Ring:
      return ring(p, count);
    case Family::Gather:
      return gather(p, count);
    case Family::Paired:
      return paired(p, count);
    case Family::Repeat:
      return repeat(p, count);
    case Family::Hazard:
      return hazard(p, count);
    case Family::Mix:
      return mix(p, count);
  }
}

}  // namespace

void generate_phase(const GeneratorOptions& options, std::uint32_t phase_index, TransferSink& sink) {
  // A transfer needs a destination other than its source: one tile has none.
  if (options.tile_count < 2 || options.transfers_per_phase == 0) return;
  Phase phase(options, phase_index, sink);
  emit_family(phase, options.family, options.transfers_per_phase);
}

}  // namespace tarn_snapshot_gen
