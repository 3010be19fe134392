// A growable byte list of fixed-size records (or strings), as the result lists
// and session blocks use it. Growth follows fixed steps; a list that cannot
// grow reports it through the Ui and the append fails without copying.
#pragma once

#include "common/ui.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <istream>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

namespace kestrova {

class DynList {
 public:
  DynList() = default;
  // `limit` caps the capacity (allocation failure past it); tests use it to
  // make a list that cannot grow.
  DynList(std::uint8_t id, std::size_t step, Ui* ui = nullptr,
          std::size_t limit = std::numeric_limits<std::size_t>::max())
      : id_(id), step_(step), ui_(ui), limit_(limit) {}

  // Allocates the initial capacity (= the growth step). False after the
  // "(P2)" message when that fails.
  bool Create();
  // Releases the data; the list can be created again.
  void Free();
  // Empties the list and keeps its memory (a list emptied often).
  void Clear() {
    used_ = 0;
    lastItem_ = kNone;
  }
  // Empties the list and allocates its initial capacity again.
  bool Recreate() {
    Free();
    return Create();
  }

  // Appends a copy of bytes. Grows by twice the step when used + length + 69
  // is not below the capacity. Returns the copy, or null when the source is
  // null (nothing appended) or the list cannot grow.
  std::uint8_t* AddBin(const void* bytes, std::size_t length);
  // Strings with their terminators; growth by whole steps.
  std::uint8_t* AddString(std::string_view bytes);
  std::uint8_t* AddU16(std::u16string_view text);
  // Reads n bytes from a stream to the end of the list; false on a short read
  // (the list keeps its previous contents) or when it cannot grow.
  bool AddFromStream(std::istream& in, std::size_t n);

  std::uint8_t id() const { return id_; }
  std::size_t step() const { return step_; }
  std::size_t capacity() const { return data_.size(); }
  std::size_t used() const { return used_; }
  bool created() const { return !data_.empty(); }
  std::span<const std::uint8_t> bytes() const { return {data_.data(), used_}; }
  std::span<std::uint8_t> bytes() { return {data_.data(), used_}; }
  // Offset of the last appended item (kNone when nothing was appended).
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  std::size_t lastItem() const { return lastItem_; }

  template <typename Record>
  std::size_t count() const {
    return used_ / sizeof(Record);
  }
  // Copies record i out (records may be unaligned in the byte list).
  template <typename Record>
  Record at(std::size_t i) const;
  template <typename Record>
  void set(std::size_t i, const Record& r);

 private:
  bool GrowTo(std::size_t needed, std::size_t increment);
  std::uint8_t* Append(const void* bytes, std::size_t length);

  std::uint8_t id_ = 0;
  std::size_t step_ = 0;
  Ui* ui_ = nullptr;
  std::size_t limit_ = std::numeric_limits<std::size_t>::max();
  std::vector<std::uint8_t> data_;
  std::size_t used_ = 0;
  std::size_t lastItem_ = kNone;
};

template <typename Record>
Record DynList::at(std::size_t i) const {
  Record r;
  std::memcpy(&r, data_.data() + i * sizeof(Record), sizeof(Record));
  return r;
}

template <typename Record>
void DynList::set(std::size_t i, const Record& r) {
  std::memcpy(data_.data() + i * sizeof(Record), &r, sizeof(Record));
}

// Growth margin of AddBin: the list always keeps this many bytes spare.
inline constexpr std::size_t kDynListSpare = 69;

}  // namespace kestrova
