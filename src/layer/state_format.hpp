// A layer's state as bytes: versioned, little-endian, everything that
// decides what later calls return (entries, spans, counters, the position
// in the strategy's schedule, the strategy and its parameters), and nothing
// about threads.
//
// Layout, version 3, every integer little-endian:
//   magic "MVLAYER\0" (8 bytes), version u32
//   n_heads u64, d_k u64, d_v u64
//   strategy name: length u8, then its bytes
//   window_size u64, static_k u64, recent_k u64, threshold (float32 bits)
//   u32, merge_every u64, budget u64, recent u64, storage tier u8 (0
//   float32, 1 bfloat16, 2 int8)
//   total_appends u64, position u64 (every head sees every append)
//   per head: total_merges u64, total_evictions u64, current_size u64,
//   held u64, then held keys and held values, each a row of the tier's
//   bytes (float32: d floats; bfloat16: d 16-bit values; int8: the blocks'
//   float32 scales, then d int8 values),
//   held spans of two i64, and for a strategy that keeps scores held
//   scores of float32
// Version 2, still read, lacks the tier (float32). Version 1, still read, lacks budget, recent, total_evictions (always 0)
// and the scores, and knew only the strategies that keep no scores. Each
// field a later version adds is one line in each of state_size,
// write_state and the reader, under its version.
#pragma once

#include <cstddef>
#include <span>
#include <stdexcept>
#include <string>

#include "layer/layer.hpp"

namespace marrowvale {

// Why bytes are not a state this version can read. The text is kept whole:
// a strategy name read from a state may hold a NUL, where what() would end.
class StateError : public std::runtime_error {
public:
    explicit StateError(const std::string& text) : std::runtime_error(text), text_(text) {}
    const std::string& text() const noexcept { return text_; }

private:
    std::string text_;
};

// The exact size of the layer's state.
std::size_t state_size(const Layer& layer);

// Writes the state of a settled layer (Layer::settle) into `out`, which has
// state_size(layer) bytes.
void write_state(const Layer& layer, unsigned char* out);

// The layer a state describes. Every size is checked against the bytes
// left before anything is allocated for it, so a state can only make this
// allocate in proportion to its own length. Throws StateError.
Layer read_state(std::span<const unsigned char> state);

}  // namespace marrowvale
