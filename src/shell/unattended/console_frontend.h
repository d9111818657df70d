#pragma once

// The unattended run's front-end: every message a run tells is printed on standard error as the
// screens would show it (its title in brackets, then its lines), every question is answered from
// the switches by its kind, and progress is a line per firm (one line that redraws on a terminal).
// A stop request (Ctrl+C, SIGINT, SIGTERM) is taken between two firms, as Esc is on a screen.
//
// Invariants: nothing here constructs a widget or reads a message's text to decide; a question
// the switches do not answer is answered no, after saying which switch would answer it.

#include <string>

#include "frontend/progress.h"
#include "frontend/questions.h"

namespace tav::shell {

// How the switches answer the run's questions.
struct ConsolePolicy {
  bool yes = false;             // --yes
  std::string previousProgram;  // --previous-program, in the Windows form with its backslash
};

class ConsoleQuestions : public frontend::Questions {
 public:
  explicit ConsoleQuestions(ConsolePolicy policy) : policy_(std::move(policy)) {}
  frontend::Answer ask(const frontend::Question& question) override;
  void tell(const frontend::Box& message) override;
  void doneWorking() override {}

 private:
  ConsolePolicy policy_;
};

class ConsoleProgress : public frontend::Progress {
 public:
  // Stop requests are heard from here until the end of the progress.
  ConsoleProgress();
  ~ConsoleProgress() override;
  ConsoleProgress(const ConsoleProgress&) = delete;
  ConsoleProgress& operator=(const ConsoleProgress&) = delete;

  void openWindow(const std::string&) override { windowOpen_ = true; }
  bool windowOpen() const override { return windowOpen_; }
  void closeWindow() override { windowOpen_ = false; }
  void restart(double, const std::string&) override {}
  void advance(double, const std::string&) override {}
  void removeBar() override {}
  void describe(const rt::Value&, const rt::Value&, const rt::Value&) override {}
  void firm(const frontend::FirmProgress& progress) override;
  bool stopRequested() override;
  // The last progress line is finished; nothing more is drawn over it.
  void end();

 private:
  bool terminal_;
  bool lineOpen_ = false;
  bool windowOpen_ = false;
};

// A message box on standard error: its title, then its lines.
void printBox(const frontend::Box& box);

}  // namespace tav::shell
