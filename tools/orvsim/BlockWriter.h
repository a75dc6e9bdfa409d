// Writes message blocks: a 14-byte header, the field-id list, then one
// fixed-width record per row with exactly the listed fields in list order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace orvsim {

// One value as the model hands it over; the encoder takes the member that the
// field's wire encoding needs (numbers are narrowed to the field's width).
struct FieldValue {
  double num = 0;
  std::string_view text;
  char ch = 0;
};

// Fills `v` with field `id` of row `row`.
using RowFn = std::function<void(size_t row, uint8_t id, FieldValue& v)>;

constexpr size_t kBlockHeaderSize = 14;

// Width in bytes of one record; -1 when an id is not carried by the type.
long RecordWidth(int type, const std::vector<uint8_t>& ids, int protocolVersion);

// Appends one block of `rows` records. The caller has validated the ids
// (RecordWidth >= 0); an invalid id throws std::invalid_argument.
void AppendBlock(std::vector<uint8_t>& out, int type, const std::vector<uint8_t>& ids,
                 int protocolVersion, size_t rows, const RowFn& row, bool isLast);

// Sets or clears is_last of the block that starts at `offset`.
void MarkLast(std::vector<uint8_t>& out, size_t offset, bool last);

}  // namespace orvsim
