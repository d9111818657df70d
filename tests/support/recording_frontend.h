// A front-end for tests of the core's calls: it keeps every message told and every question
// asked, answers questions by a rule the test gives (yes to all unless told otherwise), and
// keeps the firms the progress reports. Stop requests come from the test's own flag.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "frontend/progress.h"
#include "frontend/questions.h"

namespace tav::testing {

class RecordingQuestions : public frontend::Questions {
 public:
  std::function<frontend::Answer(const frontend::Question&)> answer =
      [](const frontend::Question&) {
        return frontend::Answer{true, {}};
      };
  std::vector<frontend::Box> told;
  std::vector<frontend::Question> asked;

  frontend::Answer ask(const frontend::Question& q) override {
    asked.push_back(q);
    return answer(q);
  }
  void tell(const frontend::Box& b) override { told.push_back(b); }
  void doneWorking() override {}

  // The titles of the boxes told, in order.
  std::vector<std::string> titles() const {
    std::vector<std::string> t;
    for (const frontend::Box& b : told) t.push_back(b.title);
    return t;
  }
};

class RecordingProgress : public frontend::NoProgress {
 public:
  std::vector<frontend::FirmProgress> firms;
  std::vector<std::string> captions;
  double advanced = 0;
  bool stop = false;

  void restart(double, const std::string& caption) override { captions.push_back(caption); }
  void advance(double steps, const std::string&) override { advanced += steps; }
  void firm(const frontend::FirmProgress& p) override { firms.push_back(p); }
  bool stopRequested() override { return stop; }
};

}  // namespace tav::testing
