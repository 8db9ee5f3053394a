#include "win_app/controls.h"

#include <algorithm>

namespace winform {

const char* kindName(Kind k) {
    switch (k) {
        case Kind::Form: return "form";
        case Kind::Panel: return "panel";
        case Kind::Button: return "button";
        case Kind::CheckBox: return "checkbox";
        case Kind::Label: return "label";
        case Kind::LabeledEdit: return "labelededit";
        case Kind::ProgressBar: return "progressbar";
        case Kind::ComboBox: return "combobox";
    }
    return "control";
}

Control::Control(Kind kind, std::string name, Control* parent, Bounds bounds)
    : kind_(kind), name_(std::move(name)), parent_(parent), bounds_(bounds) {
    if (parent_) {
        parent_->children_.push_back(this);
        font_ = parent_->font_;
    }
}

void Control::setCaption(std::string_view text) {
    if (caption_ == text) return;
    caption_ = text;
    notify(Prop::Caption);
    captionChanged();
}

void Control::setEnabled(bool on) {
    if (enabled_ == on) return;
    enabled_ = on;
    notify(Prop::Enabled);
}

void Control::setVisible(bool on) {
    if (visible_ == on) return;
    visible_ = on;
    notify(Prop::Visible);
}

void Control::setColor(Color c) {
    if (color_ == c) return;
    color_ = c;
    notify(Prop::Color);
}

void Control::setFont(const Font& f) {
    if (font_ == f) return;
    font_ = f;
    notify(Prop::Font);
}

void Control::setFontColor(Color c) {
    Font f = font_;
    f.color = c;
    setFont(f);
}

void Control::setBounds(Bounds b) {
    if (bounds_ == b) return;
    bounds_ = b;
    notify(Prop::Bounds);
}

void Control::setTop(int top) {
    Bounds b = bounds_;
    b.top = top;
    setBounds(b);
}

void Control::click() {
    // A control inside a hidden or disabled parent cannot be reached either.
    for (const Control* c = this; c; c = c->parent())
        if (!c->enabled() || !c->visible()) return;
    if (onClick) onClick();
}

Button::Button(std::string name, Control* parent, Bounds b, std::string_view caption)
    : Control(Kind::Button, std::move(name), parent, b) {
    setCaption(caption);
    setTabStop(true);
}

CheckBox::CheckBox(std::string name, Control* parent, Bounds b, std::string_view caption, bool checked)
    : Control(Kind::CheckBox, std::move(name), parent, b), checked_(checked) {
    setCaption(caption);
    setTabStop(true);
}

void CheckBox::setChecked(bool on) {
    if (checked_ == on) return;
    checked_ = on;
    notify(Prop::Checked);
}

void CheckBox::click() {
    for (const Control* c = this; c; c = c->parent())
        if (!c->enabled() || !c->visible()) return;
    setChecked(!checked_);
    if (onClick) onClick();
}

Panel::Panel(std::string name, Control* parent, Bounds b, std::string_view caption, bool bevel)
    : Control(Kind::Panel, std::move(name), parent, b), bevel_(bevel) {
    setCaption(caption);
}

Label::Label(std::string name, Control* parent, Bounds b, std::string_view caption)
    : Control(Kind::Label, std::move(name), parent, b) {
    setCaption(caption);
}

LabeledEdit::LabeledEdit(std::string name, Control* parent, Bounds b, std::string_view label, bool readOnly)
    : Control(Kind::LabeledEdit, std::move(name), parent, b), label_(label), readOnly_(readOnly) {
    setColor(clWindow);
    setTabStop(true);
}

void LabeledEdit::captionChanged() {
    if (onChange) onChange();
}

ProgressBar::ProgressBar(std::string name, Control* parent, Bounds b, int step)
    : Control(Kind::ProgressBar, std::move(name), parent, b), step_(step) {
    setTabStop(false);
}

void ProgressBar::setPosition(int p) {
    p = std::clamp(p, min(), max());
    if (position_ == p) return;
    position_ = p;
    notify(Prop::Progress);
}

void ProgressBar::stepIt() { setPosition(position_ + step_); }

ComboBox::ComboBox(std::string name, Control* parent, Bounds b) : Control(Kind::ComboBox, std::move(name), parent, b) {
    setColor(clWindow);
    setTabStop(true);
}

void ComboBox::clearItems() {
    items_.clear();
    index_ = -1;
    setCaption("");
    notify(Prop::Items);
}

void ComboBox::addItem(std::string_view text) {
    items_.emplace_back(text);
    notify(Prop::Items);
}

void ComboBox::setItemIndex(int i) {
    if (i < -1 || i >= static_cast<int>(items_.size())) i = -1;
    index_ = i;
    setCaption(i < 0 ? std::string_view() : std::string_view(items_[static_cast<size_t>(i)]));
    notify(Prop::ItemIndex);
}

void ComboBox::selectByUser(int i) {
    setItemIndex(i);
    if (onChange) onChange();
}

Form::Form(std::string name, Bounds clientArea) : Control(Kind::Form, std::move(name), nullptr, clientArea) {}

Form::~Form() = default;

namespace {
void collect(const Control& c, std::vector<Control*>& out) {
    for (Control* child : c.children()) {
        out.push_back(child);
        collect(*child, out);
    }
}
}  // namespace

std::vector<Control*> Form::controls() const {
    std::vector<Control*> out;
    collect(*this, out);
    return out;
}

Control* Form::find(std::string_view name) const {
    for (Control* c : controls())
        if (c->name() == name) return c;
    return nullptr;
}

}  // namespace winform
