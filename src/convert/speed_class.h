#pragma once

// The duration class the running upgrade's measured time is recorded under, shared by the per-firm
// runner and the duration estimate.

namespace tav::convert {

// The duration class under which the running upgrade's measured time is recorded. It starts at 1;
// the per-firm runner raises it when a firm needed a full reindex, and the upgrade entry puts it
// back to 1 once the time is recorded. One value for the whole process, as the duration estimate
// and the runner must agree on it.
int speedClass();
void setSpeedClass(int value);
// Raises the class to `atLeast` when it is below; a higher class stays.
void raiseSpeedClass(int atLeast);

// The class a full reindex of an old firm puts the upgrade in.
inline constexpr int kFullReindexSpeedClass = 5;

}  // namespace tav::convert
