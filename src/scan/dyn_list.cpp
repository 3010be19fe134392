#include "scan/dyn_list.h"

#include "common/activity.h"
#include "common/reallocate.h"

namespace kestrova {

bool DynList::Create() {
  used_ = 0;
  lastItem_ = kNone;
  return Reallocate(data_, step_ ? step_ : 1, ReallocMode::Discard, ui_, step_ ? limit_ : 0);
}

void DynList::Free() {
  std::vector<std::uint8_t>().swap(data_);
  used_ = 0;
  lastItem_ = kNone;
}

// Grows by `increment` until `needed` bytes fit; one step of growth may not be
// enough for a large append, and copying past the end is never an option.
bool DynList::GrowTo(std::size_t needed, std::size_t increment) {
  if (needed <= data_.size()) return true;
  if (increment == 0) increment = step_ ? step_ : 4096;
  std::size_t capacity = data_.size();
  while (capacity < needed) {
    if (capacity > limit_ - increment) {
      ReportAllocationFailure(ReallocMode::Keep, ui_);
      return false;
    }
    capacity += increment;
  }
  return Reallocate(data_, capacity, ReallocMode::Keep, ui_, limit_);
}

std::uint8_t* DynList::Append(const void* bytes, std::size_t length) {
  std::uint8_t* at = data_.data() + used_;
  if (length) std::memcpy(at, bytes, length);
  lastItem_ = used_;
  used_ += length;
  return at;
}

std::uint8_t* DynList::AddBin(const void* bytes, std::size_t length) {
  ActivityMark mark(Fn::DynListAdd);
  if (!bytes) return nullptr;
  if (data_.empty() && !Create()) return nullptr;
  if (used_ + length + kDynListSpare >= data_.size() &&
      !GrowTo(used_ + length + kDynListSpare + 1, 2 * step_)) {
    return nullptr;
  }
  return Append(bytes, length);
}

std::uint8_t* DynList::AddString(std::string_view text) {
  if (data_.empty() && !Create()) return nullptr;
  const std::size_t length = text.size() + 1;
  if (used_ + length > data_.size() && !GrowTo(used_ + length, (length / step_ + 1) * step_)) return nullptr;
  std::uint8_t* at = Append(text.data(), text.size());
  data_[used_++] = 0;
  return at;
}

std::uint8_t* DynList::AddU16(std::u16string_view text) {
  if (data_.empty() && !Create()) return nullptr;
  const std::size_t length = 2 * (text.size() + 1);
  if (used_ + length > data_.size() && !GrowTo(used_ + length, (length / step_ + 1) * step_)) return nullptr;
  std::uint8_t* at = data_.data() + used_;
  lastItem_ = used_;
  for (char16_t c : text) {
    data_[used_++] = static_cast<std::uint8_t>(c);
    data_[used_++] = static_cast<std::uint8_t>(c >> 8);
  }
  data_[used_++] = 0;
  data_[used_++] = 0;
  return at;
}

bool DynList::AddFromStream(std::istream& in, std::size_t n) {
  if (data_.empty() && !Create()) return false;
  if (used_ + n > data_.size() && !GrowTo(used_ + n, (n / step_ + 1) * step_)) return false;
  in.read(reinterpret_cast<char*>(data_.data() + used_), static_cast<std::streamsize>(n));
  if (static_cast<std::size_t>(in.gcount()) != n) return false;
  lastItem_ = used_;
  used_ += n;
  return true;
}

std::uint8_t* DynList::AddSpace(std::size_t n) {
  if (data_.empty() && !Create()) return nullptr;
  if (used_ + n > data_.size() && !GrowTo(used_ + n, (n / step_ + 1) * step_)) return nullptr;
  std::uint8_t* at = data_.data() + used_;
  lastItem_ = used_;
  used_ += n;
  return at;
}

}  // namespace kestrova
