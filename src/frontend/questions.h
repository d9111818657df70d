#pragma once

// What a run must ask a person, and the messages it shows on the way, as the core hands them to a
// front-end. The screens show each as the tool's message box; the unattended run prints it and
// answers a question from its switches, by the question's kind. A box's title and text are there
// to be shown, never to decide anything: what a question is, is its kind.
//
// Invariants: every question a run can ask has a kind of its own here; a front-end that cannot
// answer a question says no, and the run then ends where it stands, as it does when a person
// declines.

#include <string>
#include <vector>

namespace tav::frontend {

// A message box as the screens draw it (code page 852): its type ("1" a notice that stays while
// work goes on, "2" information, "3" a warning or an error, "4" to "6" questions), its title, its
// text (";" breaks a line) and, for a question, its buttons (the first one answers yes).
struct Box {
  std::string type, title, text;
  std::vector<std::string> buttons;
  bool empty() const { return title.empty() && text.empty(); }
};

struct Question {
  enum class Kind {
    // Go on with the upgrade of the database in `directory`? The box shows the duration this
    // workstation measured; without a measurement it is empty and a screen goes on unasked.
    ConfirmUpgrade,
    // Esc was pressed (or a stop requested) between two firms: yes goes on, no stops the run.
    GoOnAfterStop,
    // The directory `directory` (the program's when `program`, else the database's) does not
    // exist: yes creates it.
    CreateDirectory,
    // The database in `directory` belongs to the year `year`, before the release's: yes takes it,
    // after which the program installed for the release's year must be named.
    TakeDatabaseOfYearBefore,
    // Name the program directory of the release's year (`year`); `directory` is the last choice,
    // empty the first time. The answer is the directory, empty when none was named.
    NameProgramOfYear,
    // The named directory `directory` does not hold what was asked for (the box says why): yes
    // names another one.
    NameAnotherProgram,
  };
  Kind kind;
  Box box;
  std::string directory;
  std::string year;
  bool program = false;
};

struct Answer {
  bool yes = false;
  std::string directory;  // NameProgramOfYear: the directory named (852)
};

class Questions {
 public:
  virtual ~Questions() = default;
  virtual Answer ask(const Question& question) = 0;
  // A message the person reads: information, a warning, an error, a refusal. A type "1" notice
  // stays until the next message or `doneWorking()`.
  virtual void tell(const Box& message) = 0;
  // The work a type "1" notice announced is over.
  virtual void doneWorking() = 0;
};

// Passes everything on to another front-end and keeps the last error or warning told: a check
// that showed its own box (a directory name refused, a disk test failed) ends its action with it.
class RememberingQuestions : public Questions {
 public:
  explicit RememberingQuestions(Questions& to) : to_(to) {}
  Answer ask(const Question& question) override { return to_.ask(question); }
  void tell(const Box& message) override {
    if (message.type == "3") last_ = message;
    to_.tell(message);
  }
  void doneWorking() override { to_.doneWorking(); }
  const Box& lastWarning() const { return last_; }

 private:
  Questions& to_;
  Box last_;
};

}  // namespace tav::frontend
