// SPDX-License-Identifier: 0BSD
// Owned, always-terminated UTF-16 strings.
#include "core/WideText.h"

#include "core/Memory.h"

uint32_t WideLength(const WideChar* text) {
  uint32_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

WideText::WideText() : data_(nullptr), length_(0), capacity_(0) {}

WideText::WideText(const WideChar* text) : WideText() { Append(text); }

WideText::WideText(const WideChar* text, uint32_t length) : WideText() {
  Append(text, length);
}

WideText::WideText(const WideText& other) : WideText() { Append(other); }

WideText::WideText(WideText&& other)
    : data_(other.data_), length_(other.length_), capacity_(other.capacity_) {
  other.data_ = nullptr;
  other.length_ = 0;
  other.capacity_ = 0;
}

WideText& WideText::operator=(const WideText& other) {
  if (this == &other) return *this;
  length_ = 0;
  if (data_) data_[0] = 0;
  Append(other);
  return *this;
}

WideText::~WideText() { Release(data_); }

WideChar* WideText::MutableData() {
  Reserve(length_);
  return data_;
}

void WideText::Reserve(uint32_t length) {
  if (data_ && length < capacity_) return;
  uint32_t capacity = capacity_ ? capacity_ : 16;
  while (capacity <= length) capacity *= 2;
  data_ = (WideChar*)ReallocateOrDie(data_, capacity * sizeof(WideChar));
  if (capacity_ == 0) data_[0] = 0;
  capacity_ = capacity;
}

void WideText::Resize(uint32_t length) {
  Reserve(length);
  for (uint32_t i = length_; i < length; ++i) data_[i] = 0;
  length_ = length;
  data_[length_] = 0;
}

void WideText::Append(const WideChar* text, uint32_t length) {
  Insert(length_, text, length);
}

void WideText::Insert(uint32_t position, const WideChar* text,
                      uint32_t length) {
  Reserve(length_ + length);
  for (uint32_t i = length_; i > position; --i)
    data_[i - 1 + length] = data_[i - 1];
  for (uint32_t i = 0; i < length; ++i) data_[position + i] = text[i];
  length_ += length;
  data_[length_] = 0;
}

void WideText::Erase(uint32_t position, uint32_t count) {
  for (uint32_t i = position + count; i <= length_; ++i)
    data_[i - count] = data_[i];
  length_ -= count;
}

int64_t WideText::Find(const WideChar* needle, uint32_t needleLength,
                       uint32_t from) const {
  if (needleLength > length_) return -1;
  for (uint32_t start = from; start + needleLength <= length_; ++start) {
    uint32_t matched = 0;
    while (matched < needleLength && data_[start + matched] == needle[matched])
      ++matched;
    if (matched == needleLength) return start;
  }
  return -1;
}

bool WideText::Contains(WideChar unit) const {
  for (uint32_t i = 0; i < length_; ++i)
    if (data_[i] == unit) return true;
  return false;
}

bool WideText::Equals(const WideChar* text) const {
  uint32_t length = WideLength(text);
  if (length != length_) return false;
  for (uint32_t i = 0; i < length; ++i)
    if (data_[i] != text[i]) return false;
  return true;
}

WideText WideText::Slice(uint32_t start, uint32_t count) const {
  return WideText(Data() + start, count);
}
