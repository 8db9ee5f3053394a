// A device that answers by the command it is sent, for procedures that send many different
// commands (identification, flash probing): each rule matches a CDB prefix and gives an answer,
// or a list of answers used in turn (the last one repeats). The longest matching prefix wins;
// among equal prefixes the rule added last. A rule may also require the command before it to
// begin with a given prefix (a SPI reply depends on the opcode its prologue sent); such a rule
// is more specific than one without. A command that no rule matches fails with ILLEGAL
// REQUEST, as a chip refuses a command it does not know. Every request is recorded.
#pragma once
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "support/fake_backend.h"
#include "transport/backend.h"

namespace testing_support {

struct Answer {
    bool ok = true;
    std::vector<uint8_t> data;   // copied into the data area, up to its length
    long reported = -1;          // transfer length reported back; -1: the length asked for
};

inline Answer ok(std::vector<uint8_t> data = {}) { return Answer{true, std::move(data)}; }
inline Answer refused() { return Answer{false, {}}; }

class ScriptedDevice final : public transport::Backend {
public:
    transport::Result execute(const transport::Request& req) override;

    // `cdbPrefix` in hex; blanks are ignored ("ff04 15 04 9f").
    ScriptedDevice& on(std::string_view cdbPrefix, std::vector<uint8_t> data = {});
    ScriptedDevice& on(std::string_view cdbPrefix, std::vector<Answer> answers);
    ScriptedDevice& fail(std::string_view cdbPrefix);
    // Answers `cdbPrefix` only right after a command that began with `previousPrefix`.
    ScriptedDevice& after(std::string_view previousPrefix, std::string_view cdbPrefix, std::vector<Answer> answers);

    const std::vector<Sent>& log() const { return log_; }
    std::vector<std::string> cdbs() const;                 // every CDB sent, in hex, in order
    int count(std::string_view cdbPrefix) const;
    bool sent(std::string_view cdbPrefix) const { return count(cdbPrefix) > 0; }
    // The data of every data-out command with this prefix, in order.
    std::vector<std::vector<uint8_t>> dataSent(std::string_view cdbPrefix) const;
    void clearLog() { log_.clear(); }

private:
    struct Rule {
        std::vector<uint8_t> prefix;
        std::vector<uint8_t> after;
        std::vector<Answer> answers;
        size_t next = 0;
    };
    std::vector<Rule> rules_;
    std::vector<Sent> log_;
};

std::vector<uint8_t> fromHex(std::string_view hex);
bool hasPrefix(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& prefix);

}  // namespace testing_support
