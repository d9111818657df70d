// Waits and tones of the runtime. Both go through replaceable hooks so tests count them without
// spending them; with no hook a host without a sound device still gets the terminal bell.

#include "runtime/clock.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

namespace tav::rt {
namespace {

Sleeper& sleeper() {
  static Sleeper s;
  return s;
}
ToneSink& toneSink() {
  static ToneSink s;
  return s;
}

bool pausesSkipped() {
  static const bool skipped = [] {
    const char* v = std::getenv("TAV_NO_PAUSES");
    return v && *v && *v != '0';
  }();
  return skipped;
}

}  // namespace

void pause(int hundredths) {
  if (hundredths < 0) hundredths = 0;
  if (sleeper()) {
    sleeper()(hundredths);
    return;
  }
  if (pausesSkipped()) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(10 * hundredths));
}

Sleeper setSleeper(Sleeper s) {
  Sleeper prev = std::move(sleeper());
  sleeper() = std::move(s);
  return prev;
}

void tone(double frequency, double ticks) {
  if (toneSink()) {
    toneSink()(frequency, ticks);
    return;
  }
  // A terminal bell is the only sound a host without a sound device is sure to have.
  if (frequency > 0 && ticks > 0) std::fputc('\a', stderr);
}

ToneSink setToneSink(ToneSink s) {
  ToneSink prev = std::move(toneSink());
  toneSink() = std::move(s);
  return prev;
}

double secondsSinceMidnight() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t t = system_clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&t, &tm);
  auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  return tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec + ms / 1000.0;
}

std::string timeOfDay() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

}  // namespace tav::rt
