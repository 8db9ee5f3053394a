#include "win_app/report.h"

#include <cstdio>

namespace winform {

std::string jsonString(std::string_view s) {
    std::string out = "\"";
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c >= 0x7F) {
                    // Inquiry text may hold any byte; it is shown as the code point of that byte.
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u%04X", c);
                    out += esc;
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
    return out;
}

std::string colorName(Color c) {
    struct Named {
        Color c;
        const char* name;
    };
    static constexpr Named kNames[] = {{clBlack, "clBlack"}, {clNavy, "clNavy"},         {clBlue, "clBlue"},
                                       {clGreen, "clGreen"}, {clRed, "clRed"},           {clWhite, "clWhite"},
                                       {clBtnFace, "clBtnFace"}, {clWindow, "clWindow"}, {clWindowText, "clWindowText"}};
    for (const Named& n : kNames)
        if (n.c == c) return n.name;
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(c));
    return hex;
}

namespace {

const char* flag(bool b) { return b ? "true" : "false"; }

std::string controlJson(const Control& c) {
    std::string j = "{";
    j += "\"name\":" + jsonString(c.name());
    j += ",\"kind\":" + jsonString(kindName(c.kind()));
    j += ",\"parent\":" + (c.parent() ? jsonString(c.parent()->name()) : std::string("null"));
    j += std::string(",\"") + (c.kind() == Kind::LabeledEdit || c.kind() == Kind::ComboBox ? "text" : "caption") +
         "\":" + jsonString(c.caption());
    j += std::string(",\"enabled\":") + flag(c.enabled());
    j += std::string(",\"visible\":") + flag(c.visible());
    j += ",\"color\":" + jsonString(colorName(c.color()));
    j += ",\"font\":{\"name\":" + jsonString(c.font().name) + ",\"height\":" + std::to_string(c.font().height) +
         ",\"color\":" + jsonString(colorName(c.font().color)) + "}";
    const Bounds& b = c.bounds();
    j += ",\"position\":{\"left\":" + std::to_string(b.left) + ",\"top\":" + std::to_string(b.top) +
         ",\"width\":" + std::to_string(b.width) + ",\"height\":" + std::to_string(b.height) + "}";
    j += ",\"tabOrder\":" + std::to_string(c.tabOrder());
    switch (c.kind()) {
        case Kind::CheckBox: j += std::string(",\"checked\":") + flag(static_cast<const CheckBox&>(c).checked()); break;
        case Kind::LabeledEdit: j += ",\"label\":" + jsonString(static_cast<const LabeledEdit&>(c).label()); break;
        case Kind::ProgressBar: {
            const auto& p = static_cast<const ProgressBar&>(c);
            j += ",\"progress\":" + std::to_string(p.position()) + ",\"step\":" + std::to_string(p.step());
            break;
        }
        case Kind::ComboBox: {
            const auto& cb = static_cast<const ComboBox&>(c);
            j += ",\"items\":[";
            for (size_t i = 0; i < cb.items().size(); ++i) j.append(i ? "," : "").append(jsonString(cb.items()[i]));
            j += "],\"itemIndex\":" + std::to_string(cb.itemIndex());
            break;
        }
        default: break;
    }
    j += "}";
    return j;
}

}  // namespace

std::string controlsJson(const Form& form) {
    std::string j = "[\n  " + controlJson(form);
    for (const Control* c : form.controls()) j += ",\n  " + controlJson(*c);
    j += "\n]";
    return j;
}

}  // namespace winform
