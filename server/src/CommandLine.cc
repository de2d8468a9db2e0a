#include "server/src/CommandLine.h"

#include <charconv>

namespace Server {

CommandLine::CommandLine(std::vector<std::string> args)
    : args_(std::move(args)), consumed_(args_.size(), false) {}

bool CommandLine::Keyword(std::string_view keyword) {
  for (std::size_t i = 0; i < args_.size(); ++i) {
    if (!consumed_[i] && args_[i] == keyword) {
      consumed_[i] = true;
      last_keyword_ = i;
      have_keyword_ = true;
      return true;
    }
  }
  return false;
}

int32_t CommandLine::GetInt(int32_t lowest, int32_t highest) {
  const std::size_t at = last_keyword_ + 1;
  if (!have_keyword_ || at >= args_.size() || consumed_[at]) {
    throw Error("missing value after " + (have_keyword_ ? args_[last_keyword_] : "option"));
  }
  const std::string& text = args_[at];
  // Decimal only, optional leading minus; no spaces, no trailing characters.
  int64_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) {
    throw Error("not an integer: " + text);
  }
  if (value < lowest || value > highest) {
    throw Error("out of range: " + text);
  }
  consumed_[at] = true;
  return static_cast<int32_t>(value);
}

void CommandLine::Finish() const {
  for (std::size_t i = 0; i < args_.size(); ++i) {
    if (!consumed_[i]) throw Error("unexpected argument: " + args_[i]);
  }
}

}  // namespace Server
