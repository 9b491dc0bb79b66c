// Reads PPD choice text as a number the way atoi does (leading blanks, an
// optional sign, decimal digits, 0 when there are none), but clamps values
// beyond the int range instead of overflowing.
#pragma once

#include <string>

int ParseChoiceNumber(const std::string& text);

// a * b clamped to the int range.
int ClampedProduct(int a, int b);
