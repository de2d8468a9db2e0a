// Reads a program's options. Options are keywords that may stand anywhere among the arguments;
// finding one consumes it, reading its value consumes the argument after it, and Finish
// rejects whatever was not consumed. Errors are reported by exception only, so that the
// program decides what the user sees. Not thread-safe; used once at start-up.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace Server {

class CommandLine {
 public:
  class Error : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
  };

  // `args` are the arguments after the program's name.
  explicit CommandLine(std::vector<std::string> args);

  // True when `keyword` is among the unconsumed arguments; consumes its first occurrence and
  // remembers it for GetInt.
  bool Keyword(std::string_view keyword);

  // The argument right after the keyword last found, as a decimal integer in [lowest, highest];
  // consumes it. Error when there is none, it was already consumed, it is no integer, or it is
  // out of bounds.
  int32_t GetInt(int32_t lowest, int32_t highest);

  // Error when any argument has not been consumed.
  void Finish() const;

 private:
  std::vector<std::string> args_;
  std::vector<bool> consumed_;
  std::size_t last_keyword_ = 0;
  bool have_keyword_ = false;
};

}  // namespace Server
