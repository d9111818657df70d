#pragma once

// The times the progress window of an upgrade shows: the time of day, the time left and when
// the run should end. Times of day are "HH:MM:SS" texts.

#include <optional>
#include <string>
#include <string_view>

namespace tav::upgrade {

// Records the number of firms of the running upgrade; nullopt forgets it. Returns "".
std::string OBLICZ_CZAS(std::optional<double> totalFirms);
// The time left after `firmsDone` of the recorded total, at the average pace since
// `startSeconds` (seconds since midnight, as is `nowSeconds`): "HH:MM:SS", "00:00:00" before the
// first firm is done. Hours beyond 99 are written in full rather than starred. "?" when no total
// is recorded, as nothing can be estimated then.
std::string OBLICZ_CZAS(double startSeconds, double nowSeconds, double firmsDone);

// The sum of two "HH:MM:SS" times, modulo 24 hours. Parts are read between the colons, so a
// remaining time of more than 99 hours adds up too; what is not a number counts as 0.
std::string G1_P_G2(std::string_view time1, std::string_view time2);

// Seconds from `startSeconds` to `nowSeconds` (both since midnight); a run that passed midnight
// is taken to have lasted less than a day rather than a negative time.
double elapsedSeconds(double startSeconds, double nowSeconds);

}  // namespace tav::upgrade
