// The unattended run's questions, messages and progress on standard error.
#include "shell/unattended/console_frontend.h"

#include <atomic>
#include <cstdio>
#include <memory>

#include "os/console.h"
#include "runtime/codepage.h"
#include "runtime/format.h"

namespace tav::shell {
namespace {

using Kind = frontend::Question::Kind;

std::string utf8(const std::string& oem) { return rt::oemToUtf8(oem); }

// Set from a signal handler (or the console's control thread): a flag, nothing more.
std::atomic<bool> gStopAsked{false};
void onStop() { gStopAsked = true; }

// One watch for the process: a run's progress is made once.
std::unique_ptr<os::StopRequests> gWatch;

}  // namespace

void printBox(const frontend::Box& box) {
  std::string text = utf8(box.text);
  for (char& c : text)
    if (c == ';') c = '\n';
  std::string indented;
  for (char c : text) {
    indented += c;
    if (c == '\n') indented += "    ";
  }
  std::fprintf(stderr, "\n[%s]\n    %s\n", utf8(box.title).c_str(), indented.c_str());
}

frontend::Answer ConsoleQuestions::ask(const frontend::Question& q) {
  switch (q.kind) {
    case Kind::ConfirmUpgrade:
      if (!policy_.yes) {
        std::fprintf(stderr,
                     "\ntav_setup: the upgrade of the database in %s needs confirmation: run "
                     "again with --yes\n",
                     utf8(q.directory).c_str());
        return {};
      }
      if (!q.box.empty()) printBox(q.box);
      return {true, {}};
    case Kind::GoOnAfterStop:
      printBox(q.box);
      return {!gStopAsked.load(), {}};
    case Kind::CreateDirectory:
    case Kind::TakeDatabaseOfYearBefore:
      printBox(q.box);
      if (policy_.yes) return {true, {}};
      if (q.kind == Kind::CreateDirectory)
        std::fprintf(stderr,
                     "\ntav_setup: creating the directory %s needs confirmation: run again with "
                     "--yes\n",
                     utf8(q.directory).c_str());
      else
        std::fprintf(stderr,
                     "\ntav_setup: taking over the database of %s in %s needs confirmation: run "
                     "again with --yes\n",
                     q.year.c_str(), utf8(q.directory).c_str());
      return {};
    case Kind::NameProgramOfYear:
      // Offered once: a directory that did not pass is not offered again.
      if (policy_.previousProgram.empty() || !q.directory.empty()) {
        std::fprintf(stderr,
                     "\ntav_setup: the database belongs to the year before: name the program "
                     "installed for %s with --previous-program\n",
                     q.year.c_str());
        return {};
      }
      return {true, policy_.previousProgram};
    case Kind::NameAnotherProgram:
      printBox(q.box);
      return {};
  }
  return {};
}

void ConsoleQuestions::tell(const frontend::Box& message) { printBox(message); }

ConsoleProgress::ConsoleProgress() : terminal_(os::stderrIsTerminal()) {
  gStopAsked = false;
  gWatch = std::make_unique<os::StopRequests>(onStop);
}

ConsoleProgress::~ConsoleProgress() {
  end();
  gWatch.reset();
}

void ConsoleProgress::firm(const frontend::FirmProgress& p) {
  if (!p.done && !terminal_) return;
  std::string line = "firm " + std::to_string(p.index) + " of " + std::to_string(p.total) +
                     ": nr " + std::to_string(static_cast<long>(p.nr)) + " " + utf8(p.name);
  if (p.done) {
    line += std::string(" ") + frontend::statusName(p.status);
    if (!p.remaining.empty()) line += ", remaining " + p.remaining;
    if (!p.finish.empty()) line += ", finish " + p.finish;
  } else {
    line += " ...";
  }
  if (terminal_) {
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
    lineOpen_ = true;
  } else {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  std::fflush(stderr);
}

bool ConsoleProgress::stopRequested() { return gStopAsked.load(); }

void ConsoleProgress::end() {
  if (lineOpen_) std::fputc('\n', stderr);
  lineOpen_ = false;
}

}  // namespace tav::shell
