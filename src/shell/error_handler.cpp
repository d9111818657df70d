// The error handler every unguarded runtime error reaches, and the box it asks with. It settles
// exactly three errors without a word (division by zero, a sharing violation on open, a failed
// append lock); everything else is shown, so that no failure comes back as a quiet false.
#include "shell/error_handler.h"

#include <errno.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "gui/application.h"
#include "runtime/codepage.h"

namespace tav::shell {

using namespace rt::literals;

namespace {

// Windows message box codes, as the handler speaks them.
enum ButtonSet { kOk = 0, kOkCancel = 1, kAbortRetryIgnore = 2, kRetryCancel = 5 };
enum Reply { kIdOk = 1, kIdCancel = 2, kIdAbort = 3, kIdRetry = 4, kIdIgnore = 5 };

struct Choice {
  const char* caption;
  int answer;
};

std::vector<Choice> buttonSet(int set) {
  switch (set) {
    case kOkCancel:
      return {{"OK", kIdOk}, {"Anuluj", kIdCancel}};
    case kAbortRetryIgnore:
      return {{"Przerwij", kIdAbort}, {"Ponów próbę", kIdRetry}, {"Ignoruj", kIdIgnore}};
    case kRetryCancel:
      return {{"Ponów próbę", kIdRetry}, {"Anuluj", kIdCancel}};
    default:
      return {{"OK", kIdOk}};
  }
}

std::string number(double n) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.0f", n);
  return buf;
}

std::string rtrim(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
  return s;
}

// The Windows code a host error stands for, where the handler's rules speak of one. The open
// mode of a table is a flock, so another holder shows as EWOULDBLOCK: Windows' sharing violation.
constexpr int kWinSharingViolation = 32;
int windowsCode(int hostCode) {
  switch (hostCode) {
    case EWOULDBLOCK:
      return kWinSharingViolation;
    case EACCES:
    case EPERM:
      return 5;
    case ENOENT:
      return 2;
    default:
      return -1;  // none the handler's rules name
  }
}

// Only an open that met another holder of the file: a permission denied, or PACK, ZAP and a
// rebuild on a table not held exclusively, are real failures the user must see.
bool sharingViolationOnOpen(const rt::Error& e) {
  return (e.genCode == rt::kErrOpen || e.genCode == rt::kErrShared) &&
         windowsCode(e.osCode) == kWinSharingViolation;
}

[[noreturn]] void endTool(int code) {
  std::fflush(nullptr);
  std::_Exit(code);
}

}  // namespace

void ERRORSYS() {
  rt::setHandler([](rt::Error& e) { return STANDARDEH(e); });
}

std::string LINESPLIT(std::string_view text, int width) {
  if (width < 1) width = 1;
  const size_t w = static_cast<size_t>(width);
  std::vector<std::string> lines;
  // Hard line breaks in the text start new lines; within one, words wrap and a word longer
  // than the width is cut.
  std::vector<std::string> paragraphs;
  std::string cur;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      paragraphs.push_back(cur);
      cur.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      cur += c == '\t' ? ' ' : c;
    }
  }
  if (!cur.empty()) paragraphs.push_back(cur);
  for (const std::string& p : paragraphs) {
    std::string line;
    size_t i = 0;
    if (p.empty()) lines.push_back("");
    while (i < p.size()) {
      size_t end = p.find(' ', i);
      if (end == std::string::npos) end = p.size();
      std::string word = p.substr(i, end - i);
      std::string candidate = line.empty() ? word : line + " " + word;
      if (candidate.size() <= w) {
        line = candidate;
      } else {
        if (!line.empty()) lines.push_back(line);
        line.clear();
        while (word.size() > w) {
          lines.push_back(word.substr(0, w));
          word.erase(0, w);
        }
        line = word;
      }
      i = end + 1;
    }
    if (!line.empty()) lines.push_back(line);
  }
  std::string out;
  for (const std::string& l : lines) out += rtrim(l) + ";";
  if (!out.empty() && out.back() == ';') out.pop_back();
  return out;
}

std::string ERRORMESSAGE(const rt::Error& e) {
  std::string m = static_cast<int>(e.severity) > static_cast<int>(rt::Severity::Warning)
                      ? "Error "
                      : "Warning ";
  m += e.subSystem.empty() ? std::string("????") : e.subSystem;
  m += "/" + number(e.subCode);
  m += ";Description : " + e.description;
  if (!e.filename.empty()) m += ";File : " + e.filename;
  if (!e.operation.empty()) m += ";Operation : " + e.operation;
  m += ";Thread ID : 1";  // the tool runs in one thread
  return m;
}

int CONFIRMBOX(gui::Dialog* owner, const std::string& text, const std::string& title, int buttons,
               int style) {
  auto& a = gui::app();
  std::vector<Choice> choices = buttonSet(buttons);
  const bool hasCancel = std::any_of(choices.begin(), choices.end(),
                                     [](const Choice& c) { return c.answer == kIdCancel; });

  gui::Font textFont = gui::Font::parse("9.Arial");
  gui::Font buttonFont = textFont;
  std::vector<std::string> lines;
  size_t start = 0;
  while (true) {
    size_t cr = text.find('\r', start);
    lines.push_back(text.substr(start, cr == std::string::npos ? std::string::npos : cr - start));
    if (cr == std::string::npos) break;
    start = cr + 1;
  }
  gui::Size block;
  for (const std::string& l : lines) {
    gui::Size s = a.textSize(textFont, l);
    block.w = std::max(block.w, s.w);
    block.h += s.h;
  }
  const gui::Size button{88, 26};
  const int n = static_cast<int>(choices.size());
  const int iconSide = 32, margin = 16;
  int width = std::max(block.w + iconSide + 3 * margin, n * (button.w + 10) + 2 * margin);
  int height = std::max(block.h, iconSide) + button.h + 3 * margin;

  gui::DialogFlags flags;
  flags.alwaysOnTop = true;
  gui::Dialog& box = a.createDialog(owner, {}, {width, height}, flags);
  gui::Size screen = a.screenSize();
  box.centreOn({screen.w / 2, screen.h / 2});
  box.setMinMax(box.size(), box.size());
  box.setTitle(title);
  int icon = (style & 0xff) == 64 ? 102 : (style & 0xff) == 48 ? 101 : 103;
  box.setIcon(icon);
  gui::Widget& da = box.drawingArea();
  da.setColors(gui::kButtonText, gui::kButtonFace);
  int top = height - margin;
  auto& pic = da.add<gui::Static>(gui::StaticType::Icon, gui::Point{margin, top - iconSide},
                                  gui::Size{iconSide, iconSide});
  pic.setImage(icon);
  auto& msg = da.add<gui::Static>(gui::StaticType::Text,
                                  gui::Point{2 * margin + iconSide, top - block.h}, block);
  msg.setFont(textFont);
  std::string shown = text;
  std::replace(shown.begin(), shown.end(), '\r', '\n');
  msg.setCaption(shown);

  int answer = -1;
  int rowX = (width - n * button.w - (n - 1) * 10) / 2;
  std::vector<gui::PushButton*> made;
  for (int i = 0; i < n; ++i) {
    auto& b = da.add<gui::PushButton>(gui::Point{rowX + i * (button.w + 10), margin}, button);
    b.setCaption(rt::utf8ToOem(choices[i].caption));
    b.setFont(buttonFont);
    int value = choices[i].answer;
    b.onActivate = [&answer, value](gui::Widget&) { answer = value; };
    b.onKey = [&a](int k, gui::Widget& w) {
      if (k == gui::key::Enter) a.postActivate(w);
    };
    made.push_back(&b);
  }
  const int closed = hasCancel ? kIdCancel : 0;
  box.onClose = [&answer, closed](gui::Widget&) { answer = closed; };
  box.show();
  a.setFocus(made.front());
  const uint64_t id = box.id();
  while (answer < 0) {
    auto ev = a.next();
    if (!ev) continue;
    a.dispatch(*ev);
    if (ev->type == gui::EventType::Key && ev->key == gui::key::Esc && hasCancel)
      answer = kIdCancel;
    if (!a.find(id)) break;
  }
  if (a.find(id)) box.destroy();
  return answer < 0 ? 0 : answer;
}

rt::Answer STANDARDEH(rt::Error& e) {
  // The three errors that are settled without a word.
  if (e.genCode == rt::kErrZeroDiv) return {rt::Answer::Substitute, rt::Value(0)};
  if (sharingViolationOnOpen(e) && e.canDefault) return {rt::Answer::Default, rt::Value(false)};
  if (e.genCode == rt::kErrAppendLock && e.canDefault)
    return {rt::Answer::Default, rt::Value(false)};

  std::string message = ERRORMESSAGE(e);
  int buttons = e.canRetry ? (e.canDefault ? kAbortRetryIgnore : kRetryCancel)
                           : (e.canDefault ? kOkCancel : kOk);
  if (e.osCode != 0) {
    message += ";Operating system error : " + number(e.osCode) + ";" +
               rt::utf8ToOem(std::strerror(e.osCode));
  }
  int icon = e.severity == rt::Severity::Warning                                               ? 48
             : (e.severity == rt::Severity::Error || e.severity == rt::Severity::Catastrophic) ? 16
                                                                                               : 64;
  std::string shown = message;
  std::replace(shown.begin(), shown.end(), ';', '\r');
  switch (CONFIRMBOX(nullptr, shown, "Runtime Error Message", buttons, icon + 65536)) {
    case kIdRetry:
      return {rt::Answer::Retry, {}};
    case kIdIgnore:
      return {rt::Answer::Default, rt::Value(false)};
    case kIdCancel:
      throw rt::Abandon(e);
    default:
      endTool(1);
  }
}

}  // namespace tav::shell
