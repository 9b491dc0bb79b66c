// The printer languages, numbered as the PPDs' cupsModelNumber. Header
// only: the decoder (tools/decode) keys its own table by the same numbers
// without linking the engine.
//
// A new language is a new value here and a row in each table that a switch
// on Family fills (printers/FamilyTable.cpp, tools/decode/Languages.cpp):
// those switches have no default, so the build fails until both rows exist.
#pragma once

namespace tavel {

enum class Family { kTspl = 20, kEscpos = 21, kCpcl = 22, kPaperang = 23, kPeriPage = 24 };

constexpr Family kFirstFamily = Family::kTspl;
constexpr Family kLastFamily = Family::kPeriPage;
constexpr Family kFamilies[] = {Family::kTspl, Family::kEscpos, Family::kCpcl,
                                Family::kPaperang, Family::kPeriPage};
static_assert(sizeof kFamilies / sizeof kFamilies[0] ==
                  static_cast<unsigned>(kLastFamily) - static_cast<unsigned>(kFirstFamily) + 1,
              "kFamilies lists every number from kFirstFamily to kLastFamily");

// The family of a PPD model number; false when no language has that number.
constexpr bool FamilyOfModel(int modelNumber, Family* family) {
  if (modelNumber < static_cast<int>(kFirstFamily) || modelNumber > static_cast<int>(kLastFamily))
    return false;
  *family = static_cast<Family>(modelNumber);
  return true;
}

}  // namespace tavel
