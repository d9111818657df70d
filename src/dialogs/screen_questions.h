#pragma once

// The run's questions and messages as the screens show them: each as the tool's message box,
// with the box's type, title, text and buttons. A question whose box is empty has nothing to
// show a person and is answered yes; naming a directory goes to the chooser the screen gives.
//
// Invariant: a type "1" notice stays on the screen until the next message or doneWorking().

#include <functional>
#include <string>

#include "frontend/questions.h"
#include "gui/widgets.h"

namespace tav::dialogs {

class ScreenQuestions : public frontend::Questions {
 public:
  // Names a directory, starting from `last` (empty the first time); empty when none was named.
  using DirectoryChooser = std::function<std::string(const std::string& last)>;
  explicit ScreenQuestions(DirectoryChooser chooser = {});
  ~ScreenQuestions() override;
  ScreenQuestions(const ScreenQuestions&) = delete;
  ScreenQuestions& operator=(const ScreenQuestions&) = delete;

  frontend::Answer ask(const frontend::Question& question) override;
  void tell(const frontend::Box& message) override;
  void doneWorking() override;

 private:
  DirectoryChooser chooser_;
  gui::Dialog* working_ = nullptr;
};

}  // namespace tav::dialogs
