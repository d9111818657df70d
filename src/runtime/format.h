#pragma once

// Number and text formatting of the xBase runtime: Str, Val, trims and text comparison. Str's
// rounding and its asterisks for overflow must match what earlier releases wrote into the tables.

#include <string>
#include <string_view>

#include "runtime/value.h"

namespace tav::rt {

// Str(n, len, dec): right-aligned, rounded half away from zero; a number that does not fit gives
// len asterisks. len < 0 or dec < 0 take the defaults of the runtime (the number's own width and
// decimals, else 10 and SET DECIMALS for fractions).
std::string Str(double n, int len = -1, int dec = -1);
std::string Str(const Number& n);
// StrZero: Str padded with zeros on the left; a minus sign stays in front.
std::string StrZero(double n, int len = -1, int dec = -1);
// Val: leading blanks skipped, then an optional sign, digits and one decimal point; the decimals
// written become the number's decimals. Anything else ends the number; no digits give 0.
Number Val(std::string_view s);
// 10^exponent exactly as std::pow(10.0, exponent) gives it; up to 10^22 without computing a power.
double powerOfTen(unsigned exponent);

// The text form of any value: texts as they are, numbers as Str, dates in the display form,
// ".T." / ".F.", "NIL", "{...}" for arrays and "{||...}" for blocks.
std::string toText(const Value& v);

std::string allTrim(std::string_view s);
// The same without a copy: the part of `s` between its leading and trailing blanks.
std::string_view allTrimmed(std::string_view s);
std::string rTrim(std::string_view s);
std::string lTrim(std::string_view s);
std::string padRight(std::string_view s, size_t n, char fill = ' ');  // cut or padded to n
std::string padLeft(std::string_view s, size_t n, char fill = ' ');

// The "=" of texts: with SET EXACT off, b equal to a's prefix of b's length suffices (an empty b
// matches everything); with it on, trailing blanks are ignored and the rest must be equal.
bool textEquals(std::string_view a, std::string_view b);

}  // namespace tav::rt
