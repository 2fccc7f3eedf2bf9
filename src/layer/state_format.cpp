#include "layer/state_format.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <optional>

#include "layer/messages.hpp"

namespace marrowvale {
namespace {

constexpr char kMagic[8] = {'M', 'V', 'L', 'A', 'Y', 'E', 'R', '\0'};
// The version written; every version from kOldestVersion on is read.
constexpr std::uint32_t kVersion = 3;
constexpr std::uint32_t kOldestVersion = 1;
// What version 2 added: budget and recent, each head's total_evictions.
constexpr std::uint32_t kScoresVersion = 2;
// What version 3 added: the storage tier, and rows in its bytes.
constexpr std::uint32_t kTierVersion = 3;

// A tier's row in the state's byte order, in place: bfloat16 values and
// int8 scales little-endian, int8 values as they are. Its own inverse.
void tier_row_to_little(StorageTier tier, std::size_t width, unsigned char* row) noexcept {
    if constexpr (std::endian::native == std::endian::big) {
        const std::size_t words = tier == StorageTier::int8 ? static_cast<std::size_t>(int8_blocks(width)) : width;
        const std::size_t size = tier == StorageTier::bfloat16 ? 2 : 4;
        for (std::size_t i = 0; i < words; ++i) std::reverse(row + i * size, row + (i + 1) * size);
    } else {
        (void)tier;
        (void)width;
        (void)row;
    }
}

std::size_t head_header_bytes(std::uint32_t version) {
    return (version >= kScoresVersion ? 4 : 3) * sizeof(std::uint64_t);
}

template <typename T>
T to_little(T value) noexcept {
    if constexpr (std::endian::native == std::endian::big) {
        if constexpr (sizeof(T) == 8) return static_cast<T>(__builtin_bswap64(static_cast<std::uint64_t>(value)));
        if constexpr (sizeof(T) == 4) return static_cast<T>(__builtin_bswap32(static_cast<std::uint32_t>(value)));
    }
    return value;
}

class Writer {
public:
    explicit Writer(unsigned char* out) noexcept : out_(out) {}

    void bytes(const void* data, std::size_t count) noexcept {
        if (count != 0) std::memcpy(out_, data, count);
        out_ += count;
    }
    template <typename T>
    void number(T value) noexcept {
        const T little = to_little(value);
        bytes(&little, sizeof(T));
    }
    // `count` elements of rows (4 or 8 bytes each), little-endian.
    template <typename T>
    void rows(const T* data, std::size_t count) noexcept {
        if constexpr (std::endian::native == std::endian::little) {
            bytes(data, count * sizeof(T));
        } else {
            for (std::size_t i = 0; i < count; ++i) number(data[i]);
        }
    }

    // `count` rows of `width` values in `tier` from the list's first on.
    void tier_rows(const EntryList& list, std::size_t count, StorageTier tier, std::size_t width) {
        if (tier == StorageTier::float32) {
            rows(list.row(0), count * width);
            return;
        }
        const auto size = static_cast<std::size_t>(tier_row_bytes(tier, width));
        for (std::size_t i = 0; i < count; ++i) {
            unsigned char* start = out_;
            bytes(list.row(i), size);
            tier_row_to_little(tier, width, start);
        }
    }

private:
    unsigned char* out_;
};

class Reader {
public:
    explicit Reader(std::span<const unsigned char> state) noexcept : rest_(state) {}

    std::size_t remaining() const noexcept { return rest_.size(); }

    const unsigned char* take(std::size_t count, const char* what) {
        if (count > rest_.size()) throw StateError(messages::kStateTruncatedIn + std::string(what));
        const unsigned char* start = rest_.data();
        rest_ = rest_.subspan(count);
        return start;
    }
    template <typename T>
    T number(const char* what) {
        T value;
        std::memcpy(&value, take(sizeof(T), what), sizeof(T));
        return to_little(value);
    }
    template <typename T>
    void rows(T* out, std::size_t count, const char* what) {
        const unsigned char* source = take(count * sizeof(T), what);
        if constexpr (std::endian::native == std::endian::little) {
            if (count != 0) std::memcpy(out, source, count * sizeof(T));
        } else {
            for (std::size_t i = 0; i < count; ++i) {
                std::memcpy(&out[i], source + i * sizeof(T), sizeof(T));
                out[i] = to_little(out[i]);
            }
        }
    }

    // `count` rows of `width` values in `tier` into the new rows of
    // `list`; an int8 row must pass int8_row_problem.
    void tier_rows(EntryList& list, std::size_t count, StorageTier tier, std::size_t width, const char* what) {
        if (tier == StorageTier::float32) {
            rows(list.append_for_overwrite(count), count * width, what);
            return;
        }
        const auto size = static_cast<std::size_t>(tier_row_bytes(tier, width));
        const std::size_t floats = static_cast<std::size_t>(list.width());
        const unsigned char* source = take(count * size, what);
        float* first = list.append_for_overwrite(count);
        for (std::size_t i = 0; i < count; ++i) {
            unsigned char* row = reinterpret_cast<unsigned char*>(first + i * floats);
            // The padding zero, as appends leave it.
            std::memset(row, 0, floats * sizeof(float));
            std::memcpy(row, source + i * size, size);
            tier_row_to_little(tier, width, row);
            if (tier == StorageTier::int8) {
                if (const char* problem = int8_row_problem(row, width)) {
                    throw StateError(std::string(what) + ": " + problem);
                }
            }
        }
    }

private:
    std::span<const unsigned char> rest_;
};

std::uint32_t float_bits(float value) noexcept { return std::bit_cast<std::uint32_t>(value); }

[[noreturn]] void fail(const std::string& message) { throw StateError(message); }

// A message from a format of messages.hpp and its arguments.
template <typename... Args>
std::string format(const char* text, Args... args) {
    const int length = std::snprintf(nullptr, 0, text, args...);
    std::string message(static_cast<std::size_t>(std::max(length, 0)), '\0');
    std::snprintf(message.data(), message.size() + 1, text, args...);
    return message;
}

std::string head_text(std::size_t head) { return format(messages::kStateHead, head); }

LayerConfig read_config(Reader& reader, std::uint32_t& version) {
    const unsigned char* magic = reader.take(sizeof(kMagic), messages::kStatePartHeader);
    if (std::memcmp(magic, kMagic, sizeof(kMagic)) != 0) fail(messages::kStateWrongMagic);
    version = reader.number<std::uint32_t>(messages::kStatePartHeader);
    if (version < kOldestVersion || version > kVersion) fail(format(messages::kStateVersion, version, kVersion));
    LayerConfig config;
    config.n_heads = reader.number<std::uint64_t>(messages::kStatePartHeader);
    config.d_k = reader.number<std::uint64_t>(messages::kStatePartHeader);
    config.d_v = reader.number<std::uint64_t>(messages::kStatePartHeader);
    if (const char* problem = dimensions_problem(config.n_heads, config.d_k, config.d_v)) fail(problem);
    const auto name_length = reader.number<std::uint8_t>(messages::kStatePartHeader);
    const unsigned char* name = reader.take(name_length, messages::kStatePartName);
    config.strategy.assign(reinterpret_cast<const char*>(name), name_length);
    StrategyParameters& parameters = config.parameters;
    parameters.window_size = reader.number<std::uint64_t>(messages::kStatePartParameters);
    parameters.static_k = reader.number<std::uint64_t>(messages::kStatePartParameters);
    parameters.recent_k = reader.number<std::uint64_t>(messages::kStatePartParameters);
    parameters.threshold = std::bit_cast<float>(reader.number<std::uint32_t>(messages::kStatePartParameters));
    parameters.merge_every = reader.number<std::uint64_t>(messages::kStatePartParameters);
    if (version >= kScoresVersion) {
        parameters.budget = reader.number<std::uint64_t>(messages::kStatePartParameters);
        parameters.recent = reader.number<std::uint64_t>(messages::kStatePartParameters);
    }
    if (version >= kTierVersion) {
        const auto byte = reader.number<std::uint8_t>(messages::kStatePartParameters);
        const std::optional<StorageTier> tier = tier_from_byte(byte);
        if (!tier) fail(format(messages::kStateUnknownTier, static_cast<unsigned>(byte)));
        config.tier = *tier;
    }
    // The refused name reads as in the constructor's message, choices and
    // all: those of the version, which before 2 knew no strategy that keeps
    // scores.
    const StrategySet known = version >= kScoresVersion ? StrategySet::all : StrategySet::unscored;
    if (!is_known_strategy(config.strategy, known)) fail(unknown_strategy_message(config.strategy, known));
    if (!parameters_fit(config.strategy, parameters)) fail(messages::kStateRecentNotBelowBudget);
    return config;
}

// Spans in order, each within the tokens appended since the last clear and
// after the one before it.
void check_spans(const SpanList& spans, std::uint64_t position, std::size_t head) {
    std::int64_t after = -1;
    for (std::size_t i = 0; i < spans.size(); ++i) {
        const std::int64_t first = spans.row(i)[0];
        const std::int64_t last = spans.row(i)[1];
        if (first <= after || last < first || static_cast<std::uint64_t>(last) >= position) {
            fail(head_text(head) + format(messages::kStateSpanOutOfOrder, i, static_cast<long long>(first),
                                          static_cast<long long>(last), static_cast<unsigned long long>(position)));
        }
        after = last;
    }
}

// The bytes of one held entry: key, value, span and score if kept.
std::uint64_t entry_bytes(const LayerConfig& config, bool scored) noexcept {
    return tier_row_bytes(config.tier, config.d_k) + tier_row_bytes(config.tier, config.d_v) +
           (scored ? sizeof(float) : 0) + 2 * sizeof(std::int64_t);
}

KVCache read_head(Reader& reader, const LayerConfig& config, std::uint32_t version, const KVCacheCounters& shared,
                  std::size_t head) {
    KVCacheCounters counters = shared;
    counters.total_merges = reader.number<std::uint64_t>(messages::kStatePartHeadCounters);
    if (version >= kScoresVersion) {
        counters.total_evictions = reader.number<std::uint64_t>(messages::kStatePartHeadCounters);
    }
    counters.current_size = reader.number<std::uint64_t>(messages::kStatePartHeadCounters);
    const auto held = reader.number<std::uint64_t>(messages::kStatePartHeadCounters);

    // What every sequence of appends, strategy passes and clears leaves: the
    // held entries come from the appends since the last clear, the size
    // after the last append is what is held unless a clear came after it,
    // and the entries taken away (by the strategy or by compress and
    // retain) lie between those removed since the clear and all that were
    // not kept.
    if (held > counters.position) fail(head_text(head) + messages::kStateHeldBeyondPosition);
    if (counters.position != 0 && counters.current_size != held) {
        fail(head_text(head) + messages::kStateSizeNotHeld);
    }
    if (counters.current_size > counters.total_appends) fail(head_text(head) + messages::kStateSizeBeyondAppends);
    const std::uint64_t most_taken = counters.total_appends - held;
    if (counters.total_merges > most_taken || counters.total_evictions > most_taken - counters.total_merges ||
        counters.total_merges + counters.total_evictions < counters.position - held) {
        fail(head_text(head) + messages::kStateMergesDoNotFit);
    }

    KVCache cache(config.d_k, config.d_v, make_strategy(config.strategy, config.parameters), true, config.tier);
    const bool scored = cache.keeps_scores();
    const std::uint64_t row_bytes = entry_bytes(config, scored);
    if (held > reader.remaining() / row_bytes) fail(head_text(head) + messages::kStateTruncatedIn + messages::kStatePartEntries);
    const auto rows = static_cast<std::size_t>(held);
    EntryList keys(tier_row_floats(config.tier, config.d_k));
    EntryList values(tier_row_floats(config.tier, config.d_v));
    SpanList spans(2);
    ScoreList scores(1);
    reader.tier_rows(keys, rows, config.tier, static_cast<std::size_t>(config.d_k), messages::kStatePartKeys);
    reader.tier_rows(values, rows, config.tier, static_cast<std::size_t>(config.d_v), messages::kStatePartValues);
    reader.rows(spans.append_for_overwrite(rows), rows * 2, messages::kStatePartSpans);
    if (scored) reader.rows(scores.append_for_overwrite(rows), rows, messages::kStatePartScores);
    check_spans(spans, counters.position, head);

    cache.restore(std::move(keys), std::move(values), std::move(spans), std::move(scores), counters);
    return cache;
}

}  // namespace

std::size_t state_size(const Layer& layer) {
    const LayerConfig& config = layer.config();
    std::size_t size = sizeof(kMagic) + sizeof(std::uint32_t) + 3 * sizeof(std::uint64_t) + 1 +
                       config.strategy.size() + 6 * sizeof(std::uint64_t) + sizeof(std::uint32_t) +
                       2 * sizeof(std::uint64_t) + 1;
    const auto row_bytes = static_cast<std::size_t>(entry_bytes(config, layer.head(0).keeps_scores()));
    for (std::size_t h = 0; h < layer.n_heads(); ++h) {
        size += head_header_bytes(kVersion) + layer.head(h).length() * row_bytes;
    }
    return size;
}

void write_state(const Layer& layer, unsigned char* out) {
    const LayerConfig& config = layer.config();
    const StrategyParameters& parameters = config.parameters;
    Writer writer(out);
    writer.bytes(kMagic, sizeof(kMagic));
    writer.number(kVersion);
    writer.number(config.n_heads);
    writer.number(config.d_k);
    writer.number(config.d_v);
    writer.number(static_cast<std::uint8_t>(config.strategy.size()));
    writer.bytes(config.strategy.data(), config.strategy.size());
    writer.number(parameters.window_size);
    writer.number(parameters.static_k);
    writer.number(parameters.recent_k);
    writer.number(float_bits(parameters.threshold));
    writer.number(parameters.merge_every);
    writer.number(parameters.budget);
    writer.number(parameters.recent);
    writer.number(static_cast<std::uint8_t>(config.tier));
    const KVCacheCounters shared = layer.head(0).counters();
    writer.number(shared.total_appends);
    writer.number(shared.position);
    for (std::size_t h = 0; h < layer.n_heads(); ++h) {
        const KVCache& head = layer.head(h);
        const std::size_t held = head.length();
        writer.number(head.total_merges());
        writer.number(head.total_evictions());
        writer.number(head.current_size());
        writer.number(static_cast<std::uint64_t>(held));
        if (held == 0) continue;
        writer.tier_rows(head.keys(), held, config.tier, static_cast<std::size_t>(config.d_k));
        writer.tier_rows(head.values(), held, config.tier, static_cast<std::size_t>(config.d_v));
        writer.rows(head.spans().row(0), held * 2);
        if (head.keeps_scores()) writer.rows(head.scores().row(0), held);
    }
}

Layer read_state(std::span<const unsigned char> state) {
    Reader reader(state);
    std::uint32_t version = 0;
    LayerConfig config = read_config(reader, version);
    KVCacheCounters shared;
    shared.total_appends = reader.number<std::uint64_t>(messages::kStatePartCounters);
    shared.position = reader.number<std::uint64_t>(messages::kStatePartCounters);
    // Every other counter is at most total_appends; a state the heads could
    // not go on from (and write again) is refused.
    if (shared.total_appends > most_appends(config.n_heads)) {
        fail(format(messages::kStateAppendsTooLarge, static_cast<unsigned long long>(most_appends(config.n_heads))));
    }
    if (shared.position > shared.total_appends) fail(messages::kStatePositionBeyondAppends);
    if (config.n_heads > reader.remaining() / head_header_bytes(version)) {
        fail(messages::kStateTruncatedIn + std::string(messages::kStatePartHeads));
    }

    std::vector<KVCache> heads;
    heads.reserve(static_cast<std::size_t>(config.n_heads));
    for (std::size_t h = 0; h < config.n_heads; ++h) heads.push_back(read_head(reader, config, version, shared, h));
    if (reader.remaining() != 0) fail(format(messages::kStateTrailingBytes, reader.remaining()));
    return Layer(std::move(config), std::move(heads));
}

}  // namespace marrowvale
