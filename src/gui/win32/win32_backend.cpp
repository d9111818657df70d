// The Win32 backend: one window of Windows' own per model object, nested as the model nests them.
// Dialogs are top-level windows whose client area is the model's size; the drawing area, statics
// and frames are windows of a class of ours that paints what the model holds; buttons, edit fields
// and the tree are the system's controls. Invariants: the model keeps every state (text, cursor,
// focus, marks, expansion); keys are taken out of the message loop before any control sees them,
// so editing, Tab order and the screens' key handlers work as on every other backend; texts cross
// to UTF-16 only here, through os/wide.h; whatever the backend changes natively itself is never
// reported back as the user's input.

#include "gui/win32/win32_backend.h"

#include <windows.h>
// The common controls come after windows.h.
#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "gui/resources.h"
#include "os/wide.h"
#include "runtime/clock.h"

namespace tav::gui {
namespace {

constexpr wchar_t kTopClass[] = L"TavSetupWindow";
constexpr wchar_t kPaneClass[] = L"TavSetupPane";

COLORREF cref(Color c) { return RGB(c.r, c.g, c.b); }
std::wstring wide(const std::string& oem) { return os::wideFromOem(oem); }

// Changes the backend makes to native windows itself (moves, selections, expansions) are not the
// user's input and post nothing.
bool syncing = false;

class SyncScope {
 public:
  SyncScope() : was_(syncing) { syncing = true; }
  ~SyncScope() { syncing = was_; }
  SyncScope(const SyncScope&) = delete;
  SyncScope& operator=(const SyncScope&) = delete;

 private:
  bool was_;
};

// ---- fonts ----------------------------------------------------------------------------------

bool faceInstalled(const std::wstring& face) {
  LOGFONTW lf{};
  lf.lfCharSet = DEFAULT_CHARSET;
  face.copy(lf.lfFaceName, LF_FACESIZE - 1);
  bool found = false;
  HDC dc = GetDC(nullptr);
  EnumFontFamiliesExW(
      dc, &lf,
      [](const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) -> int {
        *reinterpret_cast<bool*>(found) = true;
        return 0;
      },
      reinterpret_cast<LPARAM>(&found), 0);
  ReleaseDC(nullptr, dc);
  return found;
}

// The screens ask for Windows' core faces. A system without them (Wine on a bare host) gets their
// metric-compatible equivalents, so that measured layouts keep their sizes.
std::wstring hostFace(const std::string& name) {
  static std::map<std::string, std::wstring> chosen;
  auto it = chosen.find(name);
  if (it != chosen.end()) return it->second;
  std::wstring face = os::wideFromUtf8(name);
  if (!faceInstalled(face)) {
    const std::map<std::string, std::wstring> equivalents = {
        {"Arial", L"Liberation Sans"},
        {"Times New Roman", L"Liberation Serif"},
        {"Courier New", L"Liberation Mono"},
    };
    auto e = equivalents.find(name);
    if (e != equivalents.end() && faceInstalled(e->second)) face = e->second;
  }
  return chosen[name] = face;
}

// Point sizes are Windows points at 96 dpi, as the layouts were measured.
int pixelHeight(const Font& f) { return f.height > 0 ? f.height : (f.pointSize * 96 + 36) / 72; }

HFONT fontFor(const Font& f) {
  static std::map<std::string, HFONT> cache;
  const std::string key = f.name + "|" + std::to_string(f.codePage) + "|" +
                          std::to_string(pixelHeight(f)) + "|" + std::to_string(f.width) + "|" +
                          std::to_string(f.bold) + std::to_string(f.italic) + "|" +
                          std::to_string(f.weightClass);
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  LOGFONTW lf{};
  lf.lfHeight = -pixelHeight(f);
  lf.lfWidth = f.width;
  lf.lfWeight = f.bold ? FW_BOLD : (f.weightClass > 0 ? f.weightClass : FW_NORMAL);
  lf.lfItalic = f.italic ? TRUE : FALSE;
  // The model's code page is the font's character set (238: Central European).
  lf.lfCharSet = static_cast<BYTE>(f.codePage >= 0 && f.codePage <= 255 ? f.codePage : 1);
  lf.lfQuality = DEFAULT_QUALITY;
  hostFace(f.name).copy(lf.lfFaceName, LF_FACESIZE - 1);
  HFONT h = CreateFontIndirectW(&lf);
  if (!h) h = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  return cache[key] = h;
}

HBRUSH brushFor(Color c) {
  static std::map<COLORREF, HBRUSH> cache;
  COLORREF r = cref(c);
  auto it = cache.find(r);
  if (it != cache.end()) return it->second;
  return cache[r] = CreateSolidBrush(r);
}

// ---- images ---------------------------------------------------------------------------------

// A 32-bit top-down DIB section of the image: composited over `back`, or with the image's own
// transparency in the alpha channel.
HBITMAP imageBitmap(int resource, Color back, bool withAlpha) {
  Size s = imageSize(resource);
  if (s.w <= 0 || s.h <= 0) return nullptr;
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = s.w;
  bi.bmiHeader.biHeight = -s.h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!bmp) return nullptr;
  auto* px = static_cast<uint32_t*>(bits);
  for (int y = 0; y < s.h; ++y)
    for (int x = 0; x < s.w; ++x) {
      const bool opaque = imageOpaque(resource, x, y);
      Color c = imagePixel(resource, x, y, withAlpha ? rgb(0, 0, 0) : back);
      uint32_t alpha = (!withAlpha || opaque) ? 0xff000000u : 0;
      px[y * s.w + x] = alpha | (uint32_t{c.r} << 16) | (uint32_t{c.g} << 8) | c.b;
    }
  return bmp;
}

HBITMAP staticImage(int resource, Color back) {
  static std::map<std::pair<int, COLORREF>, HBITMAP> cache;
  auto key = std::make_pair(resource, cref(back));
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  return cache[key] = imageBitmap(resource, back, false);
}

HICON iconFor(int resource) {
  static std::map<int, HICON> cache;
  auto it = cache.find(resource);
  if (it != cache.end()) return it->second;
  HICON icon = nullptr;
  if (HBITMAP color = imageBitmap(resource, {}, true)) {
    Size s = imageSize(resource);
    // The AND mask: a set bit lets the screen through where the image is transparent.
    const int stride = ((s.w + 15) / 16) * 2;
    std::vector<BYTE> mask(static_cast<size_t>(stride * s.h), 0);
    for (int y = 0; y < s.h; ++y)
      for (int x = 0; x < s.w; ++x)
        if (!imageOpaque(resource, x, y))
          mask[y * stride + x / 8] |= static_cast<BYTE>(0x80 >> (x % 8));
    HBITMAP andMask = CreateBitmap(s.w, s.h, 1, 1, mask.data());
    ICONINFO ii{TRUE, 0, 0, andMask, color};
    icon = CreateIconIndirect(&ii);
    DeleteObject(andMask);
    DeleteObject(color);
  }
  return cache[resource] = icon;
}

// ---- keys -----------------------------------------------------------------------------------

// The tool's key for a key going down; 0 for keys that only type a character (WM_CHAR brings it).
int namedKey(WPARAM vk) {
  const bool shift = GetKeyState(VK_SHIFT) < 0;
  switch (vk) {
    case VK_ESCAPE:
      return key::Esc;
    case VK_RETURN:
      return key::Enter;
    case VK_TAB:
      return shift ? key::ShiftTab : key::Tab;
    case VK_LEFT:
      return key::Left;
    case VK_RIGHT:
      return key::Right;
    case VK_UP:
      return key::Up;
    case VK_DOWN:
      return key::Down;
    case VK_INSERT:
      return key::Insert;
    case VK_DELETE:
      return key::Delete;
    case VK_HOME:
      return key::Home;
    case VK_END:
      return key::End;
    case VK_BACK:
      return key::Backspace;
    case VK_F4:
      return key::F4;
    default:
      return 0;
  }
}

// The code page 852 byte of a typed character; 0 for control characters and characters 852 lacks.
int typedKey(wchar_t ch) {
  if (ch < 32 || ch == 127) return 0;
  std::string oem = os::oemFromWide(std::wstring(1, ch));
  if (oem.size() != 1 || (oem[0] == '?' && ch != L'?')) return 0;
  const int k = static_cast<unsigned char>(oem[0]);
  return key::isChar(k) ? k : 0;
}

// ---- the backend ----------------------------------------------------------------------------

LRESULT CALLBACK topProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK paneProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK controlProc(HWND, UINT, WPARAM, LPARAM);

// The system's own procedure of each control that controlProc stands in front of.
std::map<HWND, WNDPROC>& originalProcs() {
  static std::map<HWND, WNDPROC> procs;
  return procs;
}

class Win32Backend;
Win32Backend* theBackend = nullptr;  // the window procedures reach the backend here

class Win32Backend : public Backend {
 public:
  Win32Backend() {
    theBackend = this;
    // With a screen the tool's tones are the speaker's; a tick is an 18th of a second.
    previousTone_ = rt::setToneSink([](double frequency, double ticks) {
      if (frequency >= 37 && frequency <= 32767 && ticks > 0)
        Beep(static_cast<DWORD>(frequency), static_cast<DWORD>(ticks * 1000 / 18.2));
    });
  }
  ~Win32Backend() override {
    app().reset();
    rt::setToneSink(std::move(previousTone_));
    theBackend = nullptr;
  }

  const char* name() const override { return "win32"; }
  Size screenSize() override {
    return {GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  }

  Size textSize(const Font& font, std::string_view oemLine) override {
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, fontFor(font));
    std::wstring w = wide(std::string(oemLine));
    SIZE s{0, 0};
    if (!w.empty()) GetTextExtentPoint32W(dc, w.c_str(), static_cast<int>(w.size()), &s);
    TEXTMETRICW tm{};
    GetTextMetricsW(dc, &tm);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return {static_cast<int>(s.cx), static_cast<int>(tm.tmHeight)};
  }

  double seconds() override {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
  }

  void pump(int hundredths) override {
    if (drain(true)) return;
    const DWORD wait = hundredths < 0 ? INFINITE : static_cast<DWORD>(hundredths) * 10;
    MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    drain(true);
  }

  void flush() override {
    drain(false);
    for (auto& [id, h] : natives_)
      if (GetParent(h) == nullptr && IsWindowVisible(h)) UpdateWindow(h);
  }

  void popup(Menu& menu, Point) override {
    HMENU m = CreatePopupMenu();
    for (size_t i = 0; i < menu.count(); ++i) {
      std::wstring label = wide(menu.caption(i));
      for (wchar_t& c : label)
        if (c == L'~') c = L'&';
      AppendMenuW(m, MF_STRING, i + 1, label.c_str());
    }
    HWND owner = nullptr;
    if (Dialog* d = menu.owner().dialog()) owner = native(*d);
    POINT at;
    GetCursorPos(&at);
    if (owner) SetForegroundWindow(owner);
    const int chosen = TrackPopupMenu(m, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, at.x, at.y,
                                      0, owner, nullptr);
    DestroyMenu(m);
    if (chosen > 0) menu.choose(chosen);
  }

  void created(Widget& w) override {
    SyncScope quiet;
    HWND h = nullptr;
    HINSTANCE inst = GetModuleHandleW(nullptr);
    if (w.kind() == Kind::Dialog) {
      auto& d = static_cast<Dialog&>(w);
      DWORD style = 0, ex = 0;
      dialogStyle(d.flags(), style, ex);
      HWND owner = d.owner() ? native(*d.owner()) : nullptr;
      h = CreateWindowExW(ex, kTopClass, L"", style, 0, 0, 1, 1, owner, nullptr, inst, nullptr);
      if (!h) return;
      remember(w, h);
      syncDialog(d, false);
      return;
    }
    HWND parent = w.parent() ? native(*w.parent()) : nullptr;
    if (!parent) return;
    const DWORD child = WS_CHILD | WS_CLIPSIBLINGS;
    switch (w.kind()) {
      case Kind::Area:
      case Kind::Static:
        h = CreateWindowExW(0, kPaneClass, L"", child | WS_CLIPCHILDREN, 0, 0, 1, 1, parent,
                            nullptr, inst, nullptr);
        break;
      case Kind::Button:
        h = CreateWindowExW(0, L"BUTTON", L"", child | BS_PUSHBUTTON, 0, 0, 1, 1, parent, nullptr,
                            inst, nullptr);
        break;
      case Kind::Edit:
        // Multi-line in style only (the keys never reach it): that is what lets its one line
        // stand in the middle of the field, as the screens were drawn.
        h = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"", child | ES_AUTOHSCROLL | ES_MULTILINE,
                            0, 0, 1, 1, parent, nullptr, inst, nullptr);
        break;
      case Kind::Tree:
        h = CreateWindowExW(WS_EX_CLIENTEDGE, WC_TREEVIEWW, L"",
                            child | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT |
                                TVS_SHOWSELALWAYS | TVS_DISABLEDRAGDROP,
                            0, 0, 1, 1, parent, nullptr, inst, nullptr);
        if (h) TreeView_SetImageList(h, treeImages(), TVSIL_NORMAL);
        break;
      case Kind::Dialog:
        break;
    }
    if (!h) return;
    // Newer siblings stand above older ones, as the model draws them.
    SetWindowPos(h, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    if (w.kind() == Kind::Button || w.kind() == Kind::Edit || w.kind() == Kind::Tree)
      originalProcs()[h] = reinterpret_cast<WNDPROC>(
          SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(controlProc)));
    remember(w, h);
    syncWidget(w);
  }

  void destroyed(Widget& w) override {
    auto it = natives_.find(w.id());
    if (it == natives_.end()) return;
    HWND h = it->second;
    natives_.erase(it);
    ids_.erase(h);
    tracking_.erase(h);
    titles_.erase(w.id());
    icons_.erase(w.id());
    SyncScope quiet;
    DestroyWindow(h);
  }

  void changed(Widget& w, Change c) override {
    HWND h = native(w);
    if (!h) return;
    {
      SyncScope quiet;
      if (w.kind() == Kind::Dialog) {
        auto& d = static_cast<Dialog&>(w);
        syncDialog(d, c == Change::State);
        if (c == Change::Geometry || c == Change::State) syncTree(d.drawingArea());
      } else if (c == Change::Geometry || c == Change::State) {
        syncTree(w);
      } else if (c != Change::Focus) {
        syncWidget(w);
      }
    }
    if (c == Change::Focus) focusChanged(w, h);
  }

  // ---- what the window procedures call ----

  Widget* widgetOf(HWND h) const {
    auto it = ids_.find(h);
    return it == ids_.end() ? nullptr : app().find(it->second);
  }
  uint64_t idOf(HWND h) const {
    auto it = ids_.find(h);
    return it == ids_.end() ? 0 : it->second;
  }

  // The messages that reach any window of ours from its controls.
  bool controlMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT& result) {
    switch (msg) {
      case WM_COMMAND:
        if (HIWORD(wp) == BN_CLICKED && lp) {
          if (uint64_t id = idOf(reinterpret_cast<HWND>(lp)); id && !syncing) {
            app().post({EventType::SetFocus, id});
            app().post({EventType::Activate, id});
          }
          result = 0;
          return true;
        }
        return false;
      case WM_CTLCOLOREDIT:
      case WM_CTLCOLORSTATIC:
      case WM_CTLCOLORBTN: {
        Widget* w = widgetOf(reinterpret_cast<HWND>(lp));
        if (!w) return false;
        HDC dc = reinterpret_cast<HDC>(wp);
        Color back = w->bg(), fore = w->fg();
        if (msg == WM_CTLCOLORBTN && w->parent()) back = w->parent()->bg();
        // A field the screen left in its parent's colours is the system's white field with black
        // text; one the screen coloured (a name refused) shows that colour.
        if (w->kind() == Kind::Edit && w->parent() && back == w->parent()->bg()) {
          back = rgb(255, 255, 255);
          fore = kButtonText;
        }
        SetTextColor(dc, cref(fore));
        SetBkColor(dc, cref(back));
        result = reinterpret_cast<LRESULT>(brushFor(back));
        return true;
      }
      case WM_NOTIFY:
        return treeNotify(reinterpret_cast<NMHDR*>(lp), result);
      default:
        return false;
    }
  }

  void mouseMoved(HWND h) {
    if (tracking_.count(h)) return;
    tracking_.insert(h);
    TRACKMOUSEEVENT t{sizeof t, TME_LEAVE, h, 0};
    TrackMouseEvent(&t);
    if (uint64_t id = idOf(h)) app().post({EventType::MouseEnter, id});
  }
  void mouseLeft(HWND h) {
    tracking_.erase(h);
    if (uint64_t id = idOf(h)) app().post({EventType::MouseLeave, id});
  }

  // A top-level window got the keyboard: it goes on to the control the model's focus names.
  void windowFocused(HWND top) {
    Widget* f = app().focus();
    if (!f) return;
    HWND h = native(*f);
    if (h && h != top && GetAncestor(h, GA_ROOT) == top && IsWindowVisible(h) && IsWindowEnabled(h))
      SetFocus(h);
  }

  void paint(HWND h) {
    PAINTSTRUCT ps;
    HDC screen = BeginPaint(h, &ps);
    RECT rc;
    GetClientRect(h, &rc);
    const int width = rc.right, height = rc.bottom;
    if (width > 0 && height > 0) {
      // Drawn off screen first, so that a progress bar redrawn between firms does not flicker.
      HDC dc = CreateCompatibleDC(screen);
      HBITMAP bmp = CreateCompatibleBitmap(screen, width, height);
      HGDIOBJ oldBmp = SelectObject(dc, bmp);
      if (Widget* w = widgetOf(h)) draw(*w, dc, width, height);
      BitBlt(screen, 0, 0, width, height, dc, 0, 0, SRCCOPY);
      SelectObject(dc, oldBmp);
      DeleteObject(bmp);
      DeleteDC(dc);
    }
    EndPaint(h, &ps);
  }

 private:
  HWND native(const Widget& w) const {
    auto it = natives_.find(w.id());
    return it == natives_.end() ? nullptr : it->second;
  }
  void remember(Widget& w, HWND h) {
    natives_[w.id()] = h;
    ids_[h] = w.id();
  }

  static void dialogStyle(const DialogFlags& f, DWORD& style, DWORD& ex) {
    // WS_CAPTION is a border and a dialog frame together: a window without a title bar takes
    // the thin border alone, or it would get a caption after all.
    style = WS_CLIPCHILDREN;
    if (f.titleBar) {
      style |= WS_CAPTION;
      if (f.sysMenu) style |= WS_SYSMENU;
      if (f.minButton) style |= WS_MINIMIZEBOX;
      if (f.maxButton) style |= WS_MAXIMIZEBOX;
      if (f.resizable) style |= WS_THICKFRAME;
    } else {
      style |= WS_POPUP | (f.resizable ? WS_THICKFRAME : WS_BORDER);
    }
    ex = 0;
    if (f.alwaysOnTop) ex |= WS_EX_TOPMOST;
    if (f.taskList) ex |= WS_EX_APPWINDOW;
  }

  // The model's dialog position is the lower-left corner of its drawing area, y upward from the
  // bottom of the screen; Windows places the frame's top-left corner.
  void syncDialog(Dialog& d, bool stateChanged) {
    HWND h = native(d);
    if (!h) return;
    const Size s = d.size();
    const int top = GetSystemMetrics(SM_CYSCREEN) - d.pos().y - s.h;
    RECT r{d.pos().x, top, d.pos().x + s.w, top + s.h};
    AdjustWindowRectEx(&r, static_cast<DWORD>(GetWindowLongPtrW(h, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrW(h, GWL_EXSTYLE)));
    SetWindowPos(h, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    if (titles_[d.id()] != d.title() || d.title().empty()) {
      titles_[d.id()] = d.title();
      SetWindowTextW(h, wide(d.title()).c_str());
    }
    if (icons_[d.id()] != d.icon()) {
      icons_[d.id()] = d.icon();
      if (HICON icon = iconFor(d.icon())) {
        SendMessageW(h, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
        SendMessageW(h, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
      }
    }
    const bool shown = IsWindowVisible(h) != FALSE;
    if (d.isVisible() && !shown) {
      ShowWindow(h, SW_SHOW);
      SetForegroundWindow(h);
      // Painted at once: a notice shown before long work without events must not stay blank.
      UpdateWindow(h);
    } else if (d.isVisible() && stateChanged) {
      SetWindowPos(h, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    } else if (!d.isVisible() && shown) {
      ShowWindow(h, SW_HIDE);
    }
  }

  void syncTree(Widget& w) {
    syncWidget(w);
    for (auto& c : w.children()) syncTree(*c);
  }

  void syncWidget(Widget& w) {
    HWND h = native(w);
    Widget* parent = w.parent();
    if (!h || !parent) return;
    const Size ps = parent->size();
    SetWindowPos(h, nullptr, w.pos().x, ps.h - w.pos().y - w.size().h, w.size().w, w.size().h,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    EnableWindow(h, w.isEnabled() ? TRUE : FALSE);
    switch (w.kind()) {
      case Kind::Button: {
        auto& b = static_cast<PushButton&>(w);
        SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(fontFor(w.font())), FALSE);
        SetWindowTextW(h, wide(w.caption()).c_str());
        LONG_PTR style = GetWindowLongPtrW(h, GWL_STYLE);
        LONG_PTR withIcon =
            b.image() && w.caption().empty() ? (style | BS_ICON) : (style & ~BS_ICON);
        if (withIcon != style) SetWindowLongPtrW(h, GWL_STYLE, withIcon);
        SendMessageW(h, BM_SETIMAGE, IMAGE_ICON,
                     reinterpret_cast<LPARAM>(b.image() ? iconFor(b.image()) : nullptr));
        break;
      }
      case Kind::Edit: {
        auto& e = static_cast<Edit&>(w);
        SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(fontFor(w.font())), FALSE);
        // The sunken border where the field is high enough for it and a line of its text, a thin
        // one or none where it is not: the text must not lose its descenders.
        const int line = textSize(w.font(), " ").h;
        const LONG_PTR ex = GetWindowLongPtrW(h, GWL_EXSTYLE),
                       style = GetWindowLongPtrW(h, GWL_STYLE);
        const LONG_PTR wantEx =
            w.size().h >= line + 6 ? (ex | WS_EX_CLIENTEDGE) : (ex & ~WS_EX_CLIENTEDGE);
        const LONG_PTR wantStyle = w.size().h >= line + 2 && w.size().h < line + 6
                                       ? (style | WS_BORDER)
                                       : (style & ~WS_BORDER);
        if (wantEx != ex || wantStyle != style) {
          SetWindowLongPtrW(h, GWL_EXSTYLE, wantEx);
          SetWindowLongPtrW(h, GWL_STYLE, wantStyle);
          SetWindowPos(h, nullptr, 0, 0, 0, 0,
                       SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
        }
        std::wstring text = wide(e.text());
        const int length = GetWindowTextLengthW(h);
        std::wstring now(static_cast<size_t>(length) + 1, L'\0');
        GetWindowTextW(h, now.data(), length + 1);
        now.resize(static_cast<size_t>(length));
        if (now != text) SetWindowTextW(h, text.c_str());
        RECT inside;
        GetClientRect(h, &inside);
        const int top = std::max(0, (static_cast<int>(inside.bottom) - line) / 2);
        RECT lineBox{2, top, std::max(2, static_cast<int>(inside.right) - 2), top + line};
        SendMessageW(h, EM_SETRECTNP, 0, reinterpret_cast<LPARAM>(&lineBox));
        // One 852 byte is one UTF-16 unit, so the model's cursor is the control's.
        SendMessageW(h, EM_SETSEL, static_cast<WPARAM>(e.cursor()), e.cursor());
        break;
      }
      case Kind::Tree:
        SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(fontFor(w.font())), FALSE);
        rebuild(static_cast<TreeView&>(w), h);
        break;
      default:
        break;
    }
    ShowWindow(h, w.visibleSelf() ? SW_SHOWNA : SW_HIDE);
    InvalidateRect(h, nullptr, TRUE);
  }

  void focusChanged(Widget& w, HWND h) {
    if (w.kind() == Kind::Button) {
      // The focused button is the default one: it shows so, as Enter presses it.
      LONG_PTR style = GetWindowLongPtrW(h, GWL_STYLE);
      LONG_PTR type = w.hasFocus() ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
      if ((style & BS_TYPEMASK) != type)
        SendMessageW(h, BM_SETSTYLE, static_cast<WPARAM>((style & ~BS_TYPEMASK) | type), TRUE);
    }
    if (w.hasFocus() && IsWindowVisible(h) && GetFocus() != h) SetFocus(h);
  }

  // The tree is rebuilt from the model whenever it changes; the model keeps marks and expansion.
  void rebuild(TreeView& t, HWND h) {
    if (t.updatesLocked()) return;
    SyncScope quiet;
    SendMessageW(h, WM_SETREDRAW, FALSE, 0);
    TreeView_DeleteAllItems(h);
    HTREEITEM marked = nullptr;
    std::function<void(TreeItem&, HTREEITEM)> add = [&](TreeItem& item, HTREEITEM parent) {
      for (auto& c : item.children()) {
        std::wstring text = wide(c->caption);
        TVINSERTSTRUCTW ins{};
        ins.hParent = parent;
        ins.hInsertAfter = TVI_LAST;
        ins.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_CHILDREN;
        ins.item.pszText = text.data();
        ins.item.lParam = static_cast<LPARAM>(c->id());
        ins.item.iImage = imageIndex(c->icon);
        ins.item.iSelectedImage = imageIndex(c->iconSelected ? c->iconSelected : c->icon);
        // An item not listed yet still shows its button: expanding it lists it.
        ins.item.cChildren = c->children().empty() && c->expanded() ? 0 : 1;
        HTREEITEM ni = TreeView_InsertItem(h, &ins);
        if (!ni) continue;
        add(*c, ni);
        if (c->expanded()) TreeView_Expand(h, ni, TVE_EXPAND);
        if (t.marked() == c.get()) marked = ni;
      }
    };
    add(t.root(), TVI_ROOT);
    if (marked) {
      TreeView_SelectItem(h, marked);
      TreeView_EnsureVisible(h, marked);
    }
    SendMessageW(h, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(h, nullptr, TRUE);
  }

  bool treeNotify(NMHDR* n, LRESULT& result) {
    if (!n) return false;
    Widget* w = widgetOf(n->hwndFrom);
    if (!w || w->kind() != Kind::Tree) return false;
    const uint64_t id = w->id();
    auto itemAt = [&](HWND tree) -> uint64_t {
      TVHITTESTINFO hit{};
      GetCursorPos(&hit.pt);
      ScreenToClient(tree, &hit.pt);
      HTREEITEM i = TreeView_HitTest(tree, &hit);
      if (!i) return 0;
      TVITEMW item{};
      item.mask = TVIF_PARAM;
      item.hItem = i;
      TreeView_GetItem(tree, &item);
      return static_cast<uint64_t>(item.lParam);
    };
    switch (n->code) {
      case TVN_SELCHANGEDW: {
        auto* nt = reinterpret_cast<NMTREEVIEWW*>(n);
        if (!syncing && nt->itemNew.hItem)
          app().post({EventType::ItemMarked, id, 0, static_cast<uint64_t>(nt->itemNew.lParam)});
        result = 0;
        return true;
      }
      case TVN_ITEMEXPANDINGW: {
        if (syncing) {
          result = FALSE;
          return true;
        }
        // The model expands it (listing the directory first); the rebuild shows the result.
        auto* nt = reinterpret_cast<NMTREEVIEWW*>(n);
        const bool expand = (nt->action & TVE_EXPAND) != 0;
        app().post({expand ? EventType::ItemExpanded : EventType::ItemCollapsed, id, 0,
                    static_cast<uint64_t>(nt->itemNew.lParam)});
        result = TRUE;
        return true;
      }
      case NM_DBLCLK:
        if (uint64_t item = itemAt(n->hwndFrom)) app().post({EventType::ItemSelected, id, 0, item});
        result = 0;
        return true;
      case NM_RCLICK:
        if (uint64_t item = itemAt(n->hwndFrom)) {
          Event e{EventType::ContextMenu, id, 0, item};
          POINT p;
          GetCursorPos(&p);
          e.pos = {static_cast<int>(p.x), static_cast<int>(p.y)};
          app().post(e);
        }
        result = 1;
        return true;
      default:
        return false;
    }
  }

  HIMAGELIST treeImages() {
    if (!images_) images_ = ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, 16, 8);
    return images_;
  }
  int imageIndex(int resource) {
    if (!resource) return -1;
    auto it = imageIndex_.find(resource);
    if (it != imageIndex_.end()) return it->second;
    HICON icon = iconFor(resource);
    int index = icon ? ImageList_AddIcon(treeImages(), icon) : -1;
    return imageIndex_[resource] = index;
  }

  // What a pane shows: the drawing area's colour, a static's text, frame or image, and the boxes
  // drawn on it.
  void draw(Widget& w, HDC dc, int width, int height) {
    RECT all{0, 0, width, height};
    FillRect(dc, &all, brushFor(w.bg()));
    if (w.kind() != Kind::Static) return;
    auto& s = static_cast<Static&>(w);
    switch (s.type()) {
      case StaticType::Text:
        drawLines(dc, s, width, height);
        break;
      case StaticType::RaisedBox:
        DrawEdge(dc, &all, EDGE_RAISED, BF_RECT);
        break;
      case StaticType::RecessedBox:
        DrawEdge(dc, &all, EDGE_SUNKEN, BF_RECT);
        break;
      case StaticType::GroupBox: {
        HGDIOBJ old = SelectObject(dc, fontFor(s.font()));
        TEXTMETRICW tm{};
        GetTextMetricsW(dc, &tm);
        RECT frame{0, tm.tmHeight / 2, width, height};
        DrawEdge(dc, &frame, EDGE_ETCHED, BF_RECT);
        std::wstring c = wide(s.caption());
        if (!c.empty()) {
          SIZE ts{};
          GetTextExtentPoint32W(dc, c.c_str(), static_cast<int>(c.size()), &ts);
          RECT behind{6, 0, 6 + ts.cx + 4, tm.tmHeight};
          FillRect(dc, &behind, brushFor(s.bg()));
          SetBkMode(dc, TRANSPARENT);
          SetTextColor(dc, cref(s.fg()));
          TextOutW(dc, 8, 0, c.c_str(), static_cast<int>(c.size()));
        }
        SelectObject(dc, old);
        break;
      }
      case StaticType::Bitmap:
      case StaticType::Icon:
        if (HBITMAP bmp = staticImage(s.image(), s.bg())) {
          Size is = imageSize(s.image());
          HDC src = CreateCompatibleDC(dc);
          HGDIOBJ old = SelectObject(src, bmp);
          BitBlt(dc, (width - is.w) / 2, (height - is.h) / 2, is.w, is.h, src, 0, 0, SRCCOPY);
          SelectObject(src, old);
          DeleteDC(src);
        }
        break;
    }
    for (const Static::Box& b : s.drawing()) {
      RECT r{b.at.x, height - b.at.y - b.size.h, b.at.x + b.size.w, height - b.at.y};
      FillRect(dc, &r, brushFor(b.color));
    }
  }

  static void drawLines(HDC dc, const Static& s, int width, int height) {
    HGDIOBJ old = SelectObject(dc, fontFor(s.font()));
    TEXTMETRICW tm{};
    GetTextMetricsW(dc, &tm);
    const int lh = tm.tmHeight;
    const std::vector<std::string> lines = s.lines();
    const int top = (height - lh * static_cast<int>(lines.size())) / 2;
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, s.isEnabled() ? cref(s.fg()) : GetSysColor(COLOR_GRAYTEXT));
    for (size_t i = 0; i < lines.size(); ++i) {
      std::wstring t = wide(lines[i]);
      SIZE ts{};
      GetTextExtentPoint32W(dc, t.c_str(), static_cast<int>(t.size()), &ts);
      const int x = s.align() == Align::Left    ? 2
                    : s.align() == Align::Right ? width - ts.cx - 2
                                                : (width - ts.cx) / 2;
      TextOutW(dc, x, top + static_cast<int>(i) * lh, t.c_str(), static_cast<int>(t.size()));
    }
    SelectObject(dc, old);
  }

  // Takes what Windows has queued. Keys are the model's: they are posted to the tool's queue and
  // never reach a control. Returns whether anything was posted; with `early`, it stops there.
  bool drain(bool early) {
    bool posted = false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (!takeKey(msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      if (app().pending()) {
        posted = true;
        if (early) break;
      }
    }
    return posted;
  }

  bool takeKey(const MSG& msg) {
    const bool down = msg.message == WM_KEYDOWN ||
                      // Without a focused window Windows sends plain keys as system keys.
                      (msg.message == WM_SYSKEYDOWN && (msg.lParam & (1 << 29)) == 0);
    const bool typed = msg.message == WM_CHAR;
    if (!down && !typed && msg.message != WM_KEYUP) return false;
    HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
    Widget* top = root ? widgetOf(root) : nullptr;
    if (!top || top->kind() != Kind::Dialog) return false;
    if (msg.message == WM_KEYUP) return true;  // a control would act on the key's release
    int k = 0;
    if (down) {
      k = namedKey(msg.wParam);
      if (!k) {
        TranslateMessage(&msg);  // the character comes as WM_CHAR
        return true;
      }
    } else {
      k = typedKey(static_cast<wchar_t>(msg.wParam));
      if (!k) return true;
    }
    // Keys go to the model's focus when they are handled; without one, to this window's area.
    if (app().focus())
      app().post({EventType::Key, 0, k});
    else
      app().postKey(static_cast<Dialog*>(top)->drawingArea(), k);
    return true;
  }

  std::map<uint64_t, HWND> natives_;
  std::map<HWND, uint64_t> ids_;
  std::map<uint64_t, std::string> titles_;
  std::map<uint64_t, int> icons_;
  std::set<HWND> tracking_;
  std::map<int, int> imageIndex_;
  HIMAGELIST images_ = nullptr;
  rt::ToneSink previousTone_;
};

LRESULT CALLBACK topProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  Win32Backend* b = theBackend;
  if (!b) return DefWindowProcW(h, msg, wp, lp);
  LRESULT result = 0;
  if (b->controlMessage(msg, wp, lp, result)) return result;
  switch (msg) {
    case WM_CLOSE:
      // The close box (and Alt+F4): the model decides what closing means.
      if (uint64_t id = b->idOf(h)) app().post({EventType::Close, id});
      return 0;
    case WM_ERASEBKGND:
      return 1;  // the drawing area covers the client area
    case WM_SETFOCUS:
      b->windowFocused(h);
      return 0;
    case WM_SIZE:
      if (!syncing && wp != SIZE_MINIMIZED) {
        Widget* w = b->widgetOf(h);
        Size s{LOWORD(lp), HIWORD(lp)};
        if (w && w->size() != s) {
          Event e{EventType::Resized, w->id()};
          e.size = s;
          app().post(e);
        }
      }
      return 0;
    default:
      return DefWindowProcW(h, msg, wp, lp);
  }
}

LRESULT CALLBACK paneProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  Win32Backend* b = theBackend;
  if (!b) return DefWindowProcW(h, msg, wp, lp);
  LRESULT result = 0;
  if (b->controlMessage(msg, wp, lp, result)) return result;
  switch (msg) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT:
      b->paint(h);
      return 0;
    default:
      return DefWindowProcW(h, msg, wp, lp);
  }
}

LRESULT CALLBACK controlProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  auto proc = originalProcs().find(h);
  if (proc == originalProcs().end()) return DefWindowProcW(h, msg, wp, lp);
  const WNDPROC original = proc->second;
  if (msg == WM_NCDESTROY) originalProcs().erase(proc);
  Win32Backend* b = theBackend;
  if (!b) return CallWindowProcW(original, h, msg, wp, lp);
  const uint64_t id = b->idOf(h);
  Widget* w = id ? app().find(id) : nullptr;
  const Kind kind = w ? w->kind() : Kind::Static;
  switch (msg) {
    case WM_MOUSEMOVE:
      if (kind == Kind::Button) b->mouseMoved(h);
      break;
    case WM_MOUSELEAVE:
      if (kind == Kind::Button) b->mouseLeft(h);
      break;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
      if (kind == Kind::Edit) {
        // The model keeps the cursor: a click gives the field the focus and nothing else.
        app().post({EventType::SetFocus, id});
        return 0;
      }
      if (kind == Kind::Tree) app().post({EventType::SetFocus, id});
      break;
    case WM_CONTEXTMENU:
    case WM_PASTE:
    case WM_CUT:
    case WM_CLEAR:
    case WM_UNDO:
      if (kind == Kind::Edit) return 0;  // the model's text changes only by its keys
      break;
    default:
      break;
  }
  return CallWindowProcW(original, h, msg, wp, lp);
}

bool registerClasses() {
  HINSTANCE inst = GetModuleHandleW(nullptr);
  WNDCLASSEXW top{};
  top.cbSize = sizeof top;
  top.lpfnWndProc = topProc;
  top.hInstance = inst;
  top.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  top.lpszClassName = kTopClass;
  WNDCLASSEXW pane = top;
  pane.lpfnWndProc = paneProc;
  pane.lpszClassName = kPaneClass;
  WNDCLASSEXW seen{};
  if (!GetClassInfoExW(inst, kTopClass, &seen) && !RegisterClassExW(&top)) return false;
  if (!GetClassInfoExW(inst, kPaneClass, &seen) && !RegisterClassExW(&pane)) return false;
  return true;
}

// Whether this process has a desktop a person sees: a service's window station is invisible, and
// Wine without a display creates no window at all.
bool desktopVisible() {
  USEROBJECTFLAGS flags{};
  HWINSTA station = GetProcessWindowStation();
  if (station && GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr) &&
      !(flags.dwFlags & WSF_VISIBLE))
    return false;
  HWND probe = CreateWindowExW(0, kTopClass, L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
  if (!probe) return false;
  DestroyWindow(probe);
  return GetSystemMetrics(SM_CXSCREEN) > 0 && GetSystemMetrics(SM_CYSCREEN) > 0;
}

}  // namespace

std::unique_ptr<Backend> makeWin32Backend() {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_TREEVIEW_CLASSES};
  InitCommonControlsEx(&icc);
  if (!registerClasses() || !desktopVisible()) return nullptr;
  // Started from Explorer, the tool got a console of its own, an empty window behind the real
  // ones: it goes. Started from cmd.exe, the console is shared and stays.
  DWORD processes[2];
  if (GetConsoleProcessList(processes, 2) == 1) FreeConsole();
  return std::make_unique<Win32Backend>();
}

}  // namespace tav::gui
