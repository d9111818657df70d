// The run's questions and messages through ALARM.
#include "dialogs/screen_questions.h"

#include "dialogs/alarm.h"
#include "gui/application.h"

namespace tav::dialogs {
namespace {

// A title of nothing is a box without one, as ALARM takes a nil title.
rt::Value titleOf(const frontend::Box& box) {
  return box.title.empty() ? rt::Value() : rt::Value(box.title);
}

}  // namespace

ScreenQuestions::ScreenQuestions(DirectoryChooser chooser) : chooser_(std::move(chooser)) {}

ScreenQuestions::~ScreenQuestions() { doneWorking(); }

frontend::Answer ScreenQuestions::ask(const frontend::Question& q) {
  doneWorking();
  if (q.kind == frontend::Question::Kind::NameProgramOfYear) {
    frontend::Answer a;
    if (chooser_) a.directory = chooser_(q.directory);
    a.yes = !a.directory.empty();
    return a;
  }
  if (q.box.empty()) return {true, {}};
  rt::Value buttons;
  if (!q.box.buttons.empty()) {
    rt::Array captions;
    for (const std::string& b : q.box.buttons) captions.push_back(rt::Value(b));
    buttons = rt::Value(captions);
  }
  return {ALARM({}, q.box.type, titleOf(q.box), rt::Value(q.box.text), buttons).choice == 1, {}};
}

void ScreenQuestions::tell(const frontend::Box& m) {
  doneWorking();
  const AlarmResult shown = ALARM({}, m.type, titleOf(m), rt::Value(m.text));
  if (m.type == "1") working_ = shown.window;
}

void ScreenQuestions::doneWorking() {
  if (working_ && gui::app().find(working_->id())) working_->destroy();
  working_ = nullptr;
}

}  // namespace tav::dialogs
