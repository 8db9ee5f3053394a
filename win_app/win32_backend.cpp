#include "win_app/win32_backend.h"

#include <commctrl.h>
#include <commdlg.h>
#include <dbt.h>
#include <shellapi.h>

#include <cstdio>
#include <limits>

#include "sys/resources.h"

namespace winform {

namespace {

constexpr wchar_t kFormClass[] = L"TQ55xFwTool";
constexpr wchar_t kPanelClass[] = L"Q55xPanel";
constexpr wchar_t kAppClass[] = L"Q55xApplication";
constexpr int kFirstControlId = 1000;
constexpr int kLabelGap = 3;   // between a label edit's label and its edit

std::wstring wide(std::string_view s) {
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::string narrow(std::wstring_view w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

Win32Backend* gBackend = nullptr;   // one window, one backend per process

LRESULT CALLBACK formProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (gBackend) return gBackend->formMessage(hwnd, msg, wp, lp);
    return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

namespace {

// The font of a control at its designed height, or smaller when the text would not fit the
// control at that height: a system that substitutes a wider face for the designed one still
// shows every word.
HFONT fittedFont(Win32Backend& b, HWND hwnd, const Font& f, std::string_view text, int room) {
    HFONT font = b.fontFor(f);
    if (text.empty() || room <= 0) return font;
    const std::wstring w = wide(text);
    HDC dc = GetDC(hwnd);
    Font smaller = f;
    for (int h = f.height < 0 ? -f.height : f.height; h > 8; --h) {
        smaller.height = -h;
        font = b.fontFor(smaller);
        HGDIOBJ old = SelectObject(dc, font);
        SIZE size{};
        GetTextExtentPoint32W(dc, w.c_str(), static_cast<int>(w.size()), &size);
        SelectObject(dc, old);
        if (size.cx <= room) break;
    }
    ReleaseDC(hwnd, dc);
    return font;
}

// What a control's text leaves of its width: borders, a check box's box, a button's edges.
int textRoom(const Control& c) {
    switch (c.kind()) {
        case Kind::Button: return c.bounds().width - 8;
        case Kind::CheckBox: return c.bounds().width - 18;
        case Kind::Panel: return c.bounds().width - 4;
        case Kind::Label: return c.bounds().width + 64;   // a label grows to its text
        default: return 0;
    }
}

}  // namespace

struct Win32Backend::Peer final : ControlPeer {
    Win32Backend& backend;
    Control& control;
    HWND hwnd = nullptr;
    HWND label = nullptr;   // a label edit's label
    int id = 0;

    Peer(Win32Backend& b, Control& c) : backend(b), control(c) {}

    void placeLabel() {
        if (!label) return;
        const Bounds& b = control.bounds();
        const std::wstring text = wide(static_cast<LabeledEdit&>(control).label());
        HDC dc = GetDC(label);
        HGDIOBJ old = SelectObject(dc, backend.fontFor(control.font()));
        SIZE size{};
        GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
        SelectObject(dc, old);
        ReleaseDC(label, dc);
        MoveWindow(label, b.left - size.cx - kLabelGap, b.top + (b.height - size.cy) / 2, size.cx, size.cy, TRUE);
    }

    void applyFont(Control& c) {
        HFONT f = fittedFont(backend, hwnd, c.font(), c.caption(), textRoom(c));
        if (f != font) {
            font = f;
            SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(f), TRUE);
        }
    }

    HFONT font = nullptr;   // the font the window shows its text in

    void changed(Control& c, Prop p) override {
        switch (p) {
            case Prop::Caption:
                if (c.kind() != Kind::ComboBox) SetWindowTextW(hwnd, wide(c.caption()).c_str());
                applyFont(c);
                if (c.kind() == Kind::Panel) InvalidateRect(hwnd, nullptr, TRUE);
                break;
            case Prop::Enabled: EnableWindow(hwnd, c.enabled()); break;
            case Prop::Visible:
                ShowWindow(hwnd, c.visible() ? SW_SHOWNA : SW_HIDE);
                if (label) ShowWindow(label, c.visible() ? SW_SHOWNA : SW_HIDE);
                break;
            case Prop::Checked:
                SendMessageW(hwnd, BM_SETCHECK, static_cast<CheckBox&>(c).checked() ? BST_CHECKED : BST_UNCHECKED, 0);
                break;
            case Prop::Color:
            case Prop::Font:
                font = nullptr;
                applyFont(c);
                if (label) {
                    SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(backend.fontFor(c.font())), TRUE);
                    placeLabel();
                }
                InvalidateRect(hwnd, nullptr, TRUE);
                break;
            case Prop::Bounds: {
                const Bounds& b = c.bounds();
                // A combo box's window includes its drop-down list.
                const int height = c.kind() == Kind::ComboBox ? b.height + 160 : b.height;
                MoveWindow(hwnd, b.left, b.top, b.width, height, TRUE);
                placeLabel();
                break;
            }
            case Prop::Items: {
                auto& cb = static_cast<ComboBox&>(c);
                SendMessageW(hwnd, CB_RESETCONTENT, 0, 0);
                for (const std::string& item : cb.items())
                    SendMessageW(hwnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide(item).c_str()));
                SendMessageW(hwnd, CB_SETCURSEL, static_cast<WPARAM>(cb.itemIndex()), 0);
                break;
            }
            case Prop::ItemIndex:
                SendMessageW(hwnd, CB_SETCURSEL, static_cast<WPARAM>(static_cast<ComboBox&>(c).itemIndex()), 0);
                break;
            case Prop::Progress:
                SendMessageW(hwnd, PBM_SETPOS, static_cast<WPARAM>(static_cast<ProgressBar&>(c).position()), 0);
                break;
        }
    }
};

namespace {

// Our panel: a filled rectangle with its caption centred in its own font and colour, an optional
// raised bevel, and the notifications of its children passed up to the form.
LRESULT CALLBACK panelProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* peer = reinterpret_cast<Win32Backend::Peer*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    switch (msg) {
        case WM_COMMAND:
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORBTN:
            return SendMessageW(GetAncestor(hwnd, GA_ROOT), msg, wp, lp);
        case WM_ERASEBKGND: return 1;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(hwnd, &ps);
            RECT r;
            GetClientRect(hwnd, &r);
            if (peer) {
                Control& c = peer->control;
                FillRect(dc, &r, peer->backend.brushFor(c.color()));
                if (static_cast<Panel&>(c).bevel()) DrawEdge(dc, &r, BDR_RAISEDINNER, BF_RECT);
                HGDIOBJ old = SelectObject(dc, peer->font ? peer->font : peer->backend.fontFor(c.font()));
                SetBkMode(dc, TRANSPARENT);
                SetTextColor(dc, Win32Backend::colorRef(c.font().color));
                const std::wstring text = wide(c.caption());
                DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
                SelectObject(dc, old);
            }
            EndPaint(hwnd, &ps);
            return 0;
        }
        default: return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

LRESULT CALLBACK appProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) { return DefWindowProcW(hwnd, msg, wp, lp); }

}  // namespace

Win32Backend::Win32Backend(HINSTANCE instance, bool unattended) : instance_(instance), unattended_(unattended) {
    gBackend = this;
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
}

Win32Backend::~Win32Backend() {
    if (main_) DestroyWindow(main_);
    if (appWindow_) DestroyWindow(appWindow_);
    for (auto& [key, f] : fonts_) DeleteObject(f);
    for (auto& [key, b] : brushes_) DeleteObject(b);
    if (gBackend == this) gBackend = nullptr;
}

COLORREF Win32Backend::colorRef(Color c) {
    if (c & kSystemColorFlag) return GetSysColor(static_cast<int>(c & 0xFF));
    return static_cast<COLORREF>(c & 0xFFFFFF);   // the same blue-green-red order
}

HFONT Win32Backend::fontFor(const Font& f) {
    const auto key = std::make_pair(f.name, f.height);
    auto it = fonts_.find(key);
    if (it != fonts_.end()) return it->second;
    HFONT h = CreateFontW(f.height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                          CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, wide(f.name).c_str());
    fonts_[key] = h;
    return h;
}

HBRUSH Win32Backend::brushFor(Color c) {
    auto it = brushes_.find(c);
    if (it != brushes_.end()) return it->second;
    HBRUSH b = CreateSolidBrush(colorRef(c));
    brushes_[c] = b;
    return b;
}

void Win32Backend::setApplicationTitle(std::string_view title) {
    appTitle_ = wide(title);
    if (!appWindow_) {
        WNDCLASSW wc{};
        wc.lpfnWndProc = appProc;
        wc.hInstance = instance_;
        wc.lpszClassName = kAppClass;
        RegisterClassW(&wc);
        // Never shown: it carries the application's title, as the framework's own window did.
        appWindow_ = CreateWindowExW(0, kAppClass, appTitle_.c_str(), WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance_, nullptr);
    } else {
        SetWindowTextW(appWindow_, appTitle_.c_str());
    }
}

Win32Backend::Peer* Win32Backend::peerOf(HWND hwnd) const {
    for (const auto& p : peers_)
        if (p->hwnd == hwnd) return p.get();
    return nullptr;
}

bool Win32Backend::createWindow(Form& form, NativeEvents& events) {
    form_ = &form;
    events_ = &events;

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = formProc;
    wc.hInstance = instance_;
    wc.hIcon = LoadIconW(instance_, L"MAINICON");
    wc.hIconSm = wc.hIcon;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = brushFor(form.color());
    wc.lpszClassName = kFormClass;
    RegisterClassExW(&wc);

    WNDCLASSW pc{};
    pc.lpfnWndProc = panelProc;
    pc.hInstance = instance_;
    pc.hCursor = wc.hCursor;
    pc.lpszClassName = kPanelClass;
    RegisterClassW(&pc);

    // A single fixed border, the system menu and the minimise box; the client area is the
    // form's, centred on the screen.
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
    const DWORD exStyle = WS_EX_APPWINDOW | WS_EX_CONTROLPARENT;
    RECT r{0, 0, form.clientWidth(), form.clientHeight()};
    AdjustWindowRectEx(&r, style, FALSE, exStyle);
    const int w = r.right - r.left, h = r.bottom - r.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2, y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
    main_ = CreateWindowExW(exStyle, kFormClass, wide(form.caption()).c_str(), style, x, y, w, h, nullptr, nullptr,
                            instance_, nullptr);
    if (!main_) return false;
    SendMessageW(main_, WM_SETFONT, reinterpret_cast<WPARAM>(fontFor(form.font())), FALSE);

    auto formPeer = std::make_unique<Peer>(*this, form);
    formPeer->hwnd = main_;
    form.attachPeer(formPeer.get());
    peers_.push_back(std::move(formPeer));
    for (Control* c : form.controls()) createPeer(*c);
    return true;
}

void Win32Backend::createPeer(Control& c) {
    auto peer = std::make_unique<Peer>(*this, c);
    peer->id = kFirstControlId + static_cast<int>(peers_.size());
    Peer* parentPeer = nullptr;
    for (const auto& p : peers_)
        if (&p->control == c.parent()) parentPeer = p.get();
    HWND parent = parentPeer ? parentPeer->hwnd : main_;

    const wchar_t* cls = L"STATIC";
    DWORD style = WS_CHILD | WS_CLIPSIBLINGS;
    DWORD exStyle = 0;
    if (c.tabStop()) style |= WS_TABSTOP;
    switch (c.kind()) {
        case Kind::Form: return;
        case Kind::Panel:
            cls = kPanelClass;
            exStyle |= WS_EX_CONTROLPARENT;
            style |= WS_CLIPCHILDREN;
            break;
        case Kind::Button: cls = L"BUTTON"; style |= BS_PUSHBUTTON; break;
        case Kind::CheckBox: cls = L"BUTTON"; style |= BS_CHECKBOX; break;
        case Kind::Label: cls = L"STATIC"; style |= SS_LEFT | SS_NOPREFIX; break;
        case Kind::LabeledEdit: {
            cls = L"EDIT";
            style |= ES_AUTOHSCROLL;
            if (static_cast<LabeledEdit&>(c).readOnly()) style |= ES_READONLY;
            exStyle |= WS_EX_CLIENTEDGE;
            break;
        }
        case Kind::ProgressBar: cls = PROGRESS_CLASSW; break;
        case Kind::ComboBox: cls = WC_COMBOBOXW; style |= CBS_DROPDOWNLIST | WS_VSCROLL; break;
    }
    const Bounds& b = c.bounds();
    const int height = c.kind() == Kind::ComboBox ? b.height + 160 : b.height;
    peer->hwnd = CreateWindowExW(exStyle, cls, wide(c.kind() == Kind::ComboBox ? "" : c.caption()).c_str(), style, b.left,
                                 b.top, b.width, height, parent,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(peer->id)), instance_, nullptr);
    if (!peer->hwnd) return;
    if (c.kind() == Kind::Panel) SetWindowLongPtrW(peer->hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(peer.get()));
    if (c.kind() == Kind::LabeledEdit) {
        peer->label = CreateWindowExW(0, L"STATIC", wide(static_cast<LabeledEdit&>(c).label()).c_str(),
                                      WS_CHILD | SS_LEFT | SS_NOPREFIX, 0, 0, 0, 0, parent, nullptr, instance_, nullptr);
    }
    if (c.kind() == Kind::ProgressBar) {
        auto& p = static_cast<ProgressBar&>(c);
        SendMessageW(peer->hwnd, PBM_SETRANGE32, static_cast<WPARAM>(p.min()), p.max());
        SendMessageW(peer->hwnd, PBM_SETSTEP, static_cast<WPARAM>(p.step()), 0);
    }
    Peer* raw = peer.get();
    c.attachPeer(raw);
    peers_.push_back(std::move(peer));
    // Bring the native window to the control's state.
    for (Prop p : {Prop::Font, Prop::Bounds, Prop::Enabled, Prop::Items, Prop::ItemIndex, Prop::Progress, Prop::Visible}) {
        if ((p == Prop::Items || p == Prop::ItemIndex) && c.kind() != Kind::ComboBox) continue;
        if (p == Prop::Progress && c.kind() != Kind::ProgressBar) continue;
        raw->changed(c, p);
    }
    if (c.kind() == Kind::CheckBox) raw->changed(c, Prop::Checked);
}

void Win32Backend::showWindow(Form&) {
    if (!main_) return;
    ShowWindow(main_, SW_SHOWNORMAL);
    UpdateWindow(main_);
}

void Win32Backend::destroyWindow(Form& form) {
    for (Control* c : form.controls()) c->attachPeer(nullptr);
    form.attachPeer(nullptr);
    if (main_) {
        HWND w = main_;
        main_ = nullptr;
        DestroyWindow(w);
    }
    peers_.clear();
    form_ = nullptr;
    PostQuitMessage(0);
}

LRESULT Win32Backend::formMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_COMMAND: {
            Peer* p = peerOf(reinterpret_cast<HWND>(lp));
            if (!p) break;
            const UINT code = HIWORD(wp);
            if (p->control.kind() == Kind::ComboBox) {
                if (code == CBN_SELCHANGE)
                    static_cast<ComboBox&>(p->control).selectByUser(static_cast<int>(SendMessageW(p->hwnd, CB_GETCURSEL, 0, 0)));
            } else if (code == BN_CLICKED) {
                p->control.click();
            }
            return 0;
        }
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORBTN: {
            HDC dc = reinterpret_cast<HDC>(wp);
            const HWND child = reinterpret_cast<HWND>(lp);
            Peer* p = peerOf(child);
            Control* c = p ? &p->control : nullptr;
            if (!c) {
                // A label edit's label: the colours of the window it sits on.
                for (const auto& q : peers_)
                    if (q->label == child) c = q->control.parent();
            }
            if (!c) break;
            const Color back = c->color();
            SetTextColor(dc, colorRef(p ? c->font().color : clWindowText));
            SetBkColor(dc, colorRef(back));
            return reinterpret_cast<LRESULT>(brushFor(back));
        }
        case WM_DEVICECHANGE:
            if (events_ && (wp == DBT_DEVICEARRIVAL || wp == DBT_DEVICEREMOVECOMPLETE))
                events_->deviceChanged(wp == DBT_DEVICEARRIVAL ? DeviceEvent::Arrival : DeviceEvent::RemoveComplete);
            return TRUE;
        case WM_QUERYENDSESSION:
            return events_ && !events_->sessionEndQueried() ? FALSE : TRUE;
        case WM_POWERBROADCAST:
            if (wp == PBT_APMQUERYSUSPEND && events_ && !events_->sleepQueried()) return BROADCAST_QUERY_DENY;
            return TRUE;
        case WM_DROPFILES:
            // Accepted and ignored.
            DragFinish(reinterpret_cast<HDROP>(wp));
            return 0;
        case WM_CLOSE:
            if (events_) events_->closeRequested();
            return 0;
        default: break;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

int Win32Backend::messageBox(std::string_view text, std::string_view title, sys::MsgIcon icon) {
    if (unattended_) {
        std::string line = std::string(title) + ": " + std::string(text) + "\n";
        debugOut(line);
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
        return IDOK;
    }
    UINT flags = MB_OK;
    switch (icon) {
        case sys::MsgIcon::Error: flags |= MB_ICONERROR; break;
        case sys::MsgIcon::Warning: flags |= MB_ICONWARNING; break;
        case sys::MsgIcon::Information: flags |= MB_ICONINFORMATION; break;
        case sys::MsgIcon::None: break;
    }
    return MessageBoxW(main_, wide(text).c_str(), wide(title).c_str(), flags);
}

bool Win32Backend::runOpenDialog(OpenDialog& dialog) {
    if (unattended_) return false;
    std::wstring filter = wide(dialog.filter);
    for (wchar_t& ch : filter)
        if (ch == L'|') ch = L'\0';
    filter.push_back(L'\0');
    filter.push_back(L'\0');
    const std::wstring ext = wide(dialog.defaultExt), dir = wide(dialog.initialDir);
    wchar_t file[MAX_PATH] = {};
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = main_;
    ofn.lpstrFilter = filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrInitialDir = dir.empty() ? nullptr : dir.c_str();
    ofn.lpstrDefExt = ext.empty() ? nullptr : ext.c_str();
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    if (!GetOpenFileNameW(&ofn)) return false;
    dialog.fileName = narrow(file);
    return true;
}

void Win32Backend::debugOut(std::string_view text) {
    const std::string s(text);
    OutputDebugStringA(s.c_str());
}

bool Win32Backend::pumpNative() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            quit_ = true;
            break;
        }
        if (main_ && IsDialogMessageW(main_, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return !quit_;
}

bool Win32Backend::waitNative(uint64_t ms) {
    if (quit_) return false;
    const DWORD wait = ms >= INFINITE ? INFINITE : static_cast<DWORD>(ms);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, wait, QS_ALLINPUT);
    return true;
}

bool Win32Backend::registerDeviceNotifications(Form&, std::string_view guidText) {
    if (!main_) return false;
    unsigned long d1 = 0;
    unsigned d2 = 0, d3 = 0, b[8] = {};
    const std::string g(guidText);
    if (std::sscanf(g.c_str(), "{%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3], &b[4],
                    &b[5], &b[6], &b[7]) != 11)
        return false;
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = 32;   // the size the system expects of this filter
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid.Data1 = d1;
    filter.dbcc_classguid.Data2 = static_cast<unsigned short>(d2);
    filter.dbcc_classguid.Data3 = static_cast<unsigned short>(d3);
    for (int i = 0; i < 8; ++i) filter.dbcc_classguid.Data4[i] = static_cast<unsigned char>(b[i]);
    notify_ = RegisterDeviceNotificationW(main_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    return notify_ != nullptr;
}

void Win32Backend::unregisterDeviceNotifications(Form&) {
    if (notify_) UnregisterDeviceNotification(notify_);
    notify_ = nullptr;
}

void Win32Backend::acceptDroppedFiles(Form&, bool on) {
    if (main_) DragAcceptFiles(main_, on ? TRUE : FALSE);
}

void Win32Backend::holdSession(Form&, std::string_view reason, bool on) {
    if (on) {
        SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
        if (main_) ShutdownBlockReasonCreate(main_, wide(reason).c_str());
    } else {
        if (main_) ShutdownBlockReasonDestroy(main_);
        SetThreadExecutionState(ES_CONTINUOUS);
    }
}

FileVersion Win32Backend::programVersion() {
    FileVersion v{0, 0, 0, 0};
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return v;
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &handle);
    if (size == 0) return v;
    std::vector<uint8_t> data(size);
    if (!GetFileVersionInfoW(path, 0, size, data.data())) return v;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT len = 0;
    if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &len) || !info || len < sizeof *info) return v;
    v = {HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS), HIWORD(info->dwFileVersionLS),
         LOWORD(info->dwFileVersionLS)};
    return v;
}

std::string Win32Backend::programFolder() { return sys::programFolder(); }

}  // namespace winform
