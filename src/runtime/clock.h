#pragma once

// Waits, tones and the time of day. Every wait is given in hundredths of a second: the retry
// timing other workstations expect is written in that unit.

#include <functional>
#include <string>

namespace tav::rt {

// Every wait of the tool is given in hundredths of a second, as other workstations' retry timing
// relies on. Tests replace the sleeper to count waits without spending them. The crash harness,
// which runs thousands of upgrades with no other workstation about, sets TAV_NO_PAUSES=1 to skip
// them: a wait changes nothing on disk, so every state the harness reaches is still a real one.
void pause(int hundredths);
using Sleeper = std::function<void(int hundredths)>;
Sleeper setSleeper(Sleeper s);  // empty restores real sleeping; returns the previous one

// A tone of `frequency` Hz for `ticks` of 1/18 second. Replaceable for tests and the silent mode.
void tone(double frequency, double ticks);
using ToneSink = std::function<void(double frequency, double ticks)>;
ToneSink setToneSink(ToneSink s);

double secondsSinceMidnight();  // Seconds()
std::string timeOfDay();        // Time(): "hh:mm:ss"

}  // namespace tav::rt
