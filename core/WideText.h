// SPDX-License-Identifier: 0BSD
// A small owned UTF-16 string for the launcher's paths and command lines.
//
// The launcher builds a handful of strings (its own path, the temporary copy
// path, the argument string); this keeps them terminated at all times so they
// can be handed to Windows as they are, without a C++ runtime behind them.
#pragma once

#include <stdint.h>

#include "platform/Platform.h"

// Length of a terminated string, in UTF-16 units.
uint32_t WideLength(const WideChar* text);

class WideText {
 public:
  WideText();
  explicit WideText(const WideChar* text);
  WideText(const WideChar* text, uint32_t length);
  WideText(const WideText& other);
  // Takes the other's storage: returning a string allocates nothing.
  WideText(WideText&& other);
  WideText& operator=(const WideText& other);
  ~WideText();

  const WideChar* Data() const { return data_ ? data_ : u""; }
  // Writable storage (for CreateProcessW); always terminated.
  WideChar* MutableData();
  uint32_t Length() const { return length_; }
  bool IsEmpty() const { return length_ == 0; }
  WideChar At(uint32_t index) const { return data_[index]; }
  WideChar Last() const { return length_ ? data_[length_ - 1] : 0; }

  // Sets the length; new units are zero.
  void Resize(uint32_t length);

  void Append(const WideChar* text, uint32_t length);
  void Append(const WideChar* text) { Append(text, WideLength(text)); }
  void Append(const WideText& text) { Append(text.Data(), text.Length()); }
  void Append(WideChar unit) { Append(&unit, 1); }
  // Inserts at `position` (0..Length()).
  void Insert(uint32_t position, const WideChar* text, uint32_t length);
  void Erase(uint32_t position, uint32_t count);
  // First occurrence of `needle` at or after `from`; -1 when there is none.
  int64_t Find(const WideChar* needle, uint32_t needleLength,
               uint32_t from) const;
  bool Contains(WideChar unit) const;
  bool Equals(const WideChar* text) const;
  // Part of the text, as a new string.
  WideText Slice(uint32_t start, uint32_t count) const;

 private:
  void Reserve(uint32_t length);

  WideChar* data_;
  uint32_t length_;
  uint32_t capacity_;
};
