// The printer application's vendor attributes: the settings IPP has no
// standard attribute for, each the IPP face of one PPD option. A model
// offers an attribute when its table row has the option; the attribute's
// default is the PPD's default choice.
#pragma once

#include <string>
#include <vector>

#include "app/ModelTable.h"

namespace tavel {

// The longest vendor attribute value looked at: every valid one is a short
// keyword or number; a longer one is refused unread.
constexpr size_t kMaxVendorValueBytes = 64;

struct VendorWord {
  const char* ipp;     // the IPP keyword
  const char* choice;  // the PPD choice it stands for
};

struct VendorOption {
  const char* name;     // the IPP attribute name (without -default/-supported)
  const char* keyword;  // the PPD keyword
  const char* label;    // readable name for the web interface
  std::vector<VendorWord> words;  // keyword values; empty: an integer
  int minimum, maximum;           // the integer's range
};

// Every vendor attribute, in the order the web interface lists them.
const std::vector<VendorOption>& VendorOptions();
// The ones a model offers.
std::vector<const VendorOption*> VendorOptionsFor(const ModelInfo& model);
const VendorOption* FindVendorOption(const std::string& name);

// The PPD choice of an IPP value; false when the value isn't one the
// attribute takes (out of range, or longer than kMaxVendorValueBytes).
bool VendorChoice(const VendorOption& option, const std::string& value, std::string* choice);
// The IPP value of a PPD choice (the default shown to clients).
std::string VendorValue(const VendorOption& option, const std::string& choice);
// A keyword value as the web interface shows it: "full-after-document"
// reads "Full after document".
std::string VendorWordLabel(const VendorWord& word);

}  // namespace tavel
