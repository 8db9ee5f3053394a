// The small control layer the main window is written against, in the manner of the form designer
// it was first laid out with: every control is a plain object holding the properties the window
// reads and sets (caption or text, enabled, visible, checked, colours, font, position, items and
// index, progress position and step). A backend gives each control a peer: the Win32 backend a
// real child window, the headless backend nothing at all. Setting a property updates the object
// and tells the peer; user input comes back through the peer into the object and its handler.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace winform {

// Colours as the form designer stores them: 0x00BBGGRR, or a system colour with the top bit set.
using Color = uint32_t;
constexpr Color clBlack = 0x000000;
constexpr Color clNavy = 0x800000;
constexpr Color clBlue = 0xFF0000;
constexpr Color clGreen = 0x008000;
constexpr Color clRed = 0x0000FF;
constexpr Color clWhite = 0xFFFFFF;
constexpr Color clBtnFace = 0x8000000F;     // COLOR_BTNFACE
constexpr Color clWindow = 0x80000005;      // COLOR_WINDOW
constexpr Color clWindowText = 0x80000008;  // COLOR_WINDOWTEXT
constexpr Color kSystemColorFlag = 0x80000000;

struct Font {
    std::string name = "MS Sans Serif";
    int height = -11;   // negative: character height in pixels
    Color color = clWindowText;
    bool operator==(const Font&) const = default;
};

struct Bounds {
    int left = 0, top = 0, width = 0, height = 0;
    bool operator==(const Bounds&) const = default;
};

enum class Kind : uint8_t { Form, Panel, Button, CheckBox, Label, LabeledEdit, ProgressBar, ComboBox };
const char* kindName(Kind k);

// What changed, so a peer updates only that.
enum class Prop : uint8_t { Caption, Enabled, Visible, Checked, Color, Font, Bounds, Items, ItemIndex, Progress };

class Control;

// The backend's side of one control.
class ControlPeer {
public:
    virtual ~ControlPeer() = default;
    virtual void changed(Control& c, Prop p) = 0;
};

class Control {
public:
    Control(Kind kind, std::string name, Control* parent, Bounds bounds);
    virtual ~Control() = default;
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    Kind kind() const { return kind_; }
    const std::string& name() const { return name_; }
    Control* parent() const { return parent_; }
    const std::vector<Control*>& children() const { return children_; }

    // Caption of a button, panel, label, check box or form; text of an edit or combo box.
    const std::string& caption() const { return caption_; }
    void setCaption(std::string_view text);
    const std::string& text() const { return caption_; }
    void setText(std::string_view text) { setCaption(text); }

    bool enabled() const { return enabled_; }
    void setEnabled(bool on);
    bool visible() const { return visible_; }
    void setVisible(bool on);
    Color color() const { return color_; }
    void setColor(Color c);
    const Font& font() const { return font_; }
    void setFont(const Font& f);
    void setFontColor(Color c);
    const Bounds& bounds() const { return bounds_; }
    void setBounds(Bounds b);
    void setTop(int top);

    int tabOrder() const { return tabOrder_; }
    void setTabOrder(int n) { tabOrder_ = n; }
    bool tabStop() const { return tabStop_; }
    void setTabStop(bool on) { tabStop_ = on; }
    bool showHint() const { return showHint_; }
    void setShowHint(bool on) { showHint_ = on; }

    // The peer the backend attached (none in the headless backend).
    void attachPeer(ControlPeer* p) { peer_ = p; }
    ControlPeer* peer() const { return peer_; }

    // A user's click: the handler runs only when the control is enabled and visible, as a real
    // click could reach it only then. Handlers themselves may be called directly.
    virtual void click();
    std::function<void()> onClick;
    // Text edits: runs whenever the text changes, whoever changed it.
    std::function<void()> onChange;

protected:
    void notify(Prop p) {
        if (peer_) peer_->changed(*this, p);
    }
    virtual void captionChanged() {}

private:
    Kind kind_;
    std::string name_;
    Control* parent_;
    std::vector<Control*> children_;
    std::string caption_;
    bool enabled_ = true;
    bool visible_ = true;
    Color color_ = clBtnFace;
    Font font_;
    Bounds bounds_;
    int tabOrder_ = -1;
    bool tabStop_ = false;
    bool showHint_ = false;
    ControlPeer* peer_ = nullptr;
};

class Button final : public Control {
public:
    Button(std::string name, Control* parent, Bounds b, std::string_view caption);
};

class CheckBox final : public Control {
public:
    CheckBox(std::string name, Control* parent, Bounds b, std::string_view caption, bool checked);
    bool checked() const { return checked_; }
    void setChecked(bool on);
    // A click toggles the box, then runs the handler.
    void click() override;
    // The peer reports the box's state after a user click.
    void checkedByUser(bool on) { checked_ = on; }

private:
    bool checked_;
};

class Panel final : public Control {
public:
    Panel(std::string name, Control* parent, Bounds b, std::string_view caption, bool bevel);
    bool bevel() const { return bevel_; }

private:
    bool bevel_;
};

class Label final : public Control {
public:
    Label(std::string name, Control* parent, Bounds b, std::string_view caption);
};

// An edit with its label to its left.
class LabeledEdit final : public Control {
public:
    LabeledEdit(std::string name, Control* parent, Bounds b, std::string_view label, bool readOnly);
    const std::string& label() const { return label_; }
    bool readOnly() const { return readOnly_; }

private:
    void captionChanged() override;
    std::string label_;
    bool readOnly_;
};

class ProgressBar final : public Control {
public:
    ProgressBar(std::string name, Control* parent, Bounds b, int step);
    int min() const { return 0; }
    int max() const { return 100; }
    int position() const { return position_; }
    void setPosition(int p);
    int step() const { return step_; }
    void stepIt();   // by `step`, stopping at the maximum

private:
    int position_ = 0;
    int step_;
};

// A drop-down list.
class ComboBox final : public Control {
public:
    ComboBox(std::string name, Control* parent, Bounds b);
    const std::vector<std::string>& items() const { return items_; }
    void clearItems();
    void addItem(std::string_view text);
    int itemIndex() const { return index_; }
    // Selecting by program does not run onChange (as with the form designer's combo box).
    void setItemIndex(int i);
    // A selection by the user: updates the index and the text, then runs onChange.
    void selectByUser(int i);

private:
    std::vector<std::string> items_;
    int index_ = -1;
};

// The open-file dialog's settings and its answer.
struct OpenDialog {
    std::string name = "OpenDialog1";
    std::string defaultExt;
    std::string filter;        // "Description|*.ext|Description|*.ext"
    std::string initialDir;
    std::string fileName;      // the choice
};

// The window itself, holding every control it owns in creation order.
class Form : public Control {
public:
    Form(std::string name, Bounds clientArea);
    ~Form() override;

    // Creates a control owned by the form; `parent` null means the form itself.
    template <typename T, typename... A>
    T& make(std::string name, Control* parent, A&&... args) {
        auto c = std::make_unique<T>(std::move(name), parent ? parent : this, std::forward<A>(args)...);
        T& ref = *c;
        owned_.push_back(std::move(c));
        return ref;
    }
    // Every control, in creation order (children after their parent).
    std::vector<Control*> controls() const;
    Control* find(std::string_view name) const;

    int clientWidth() const { return bounds().width; }
    int clientHeight() const { return bounds().height; }
    bool minimizeBox() const { return true; }
    bool maximizeBox() const { return false; }
    bool sizeable() const { return false; }    // a single, fixed border
    bool centred() const { return true; }

private:
    std::vector<std::unique_ptr<Control>> owned_;
};

}  // namespace winform
