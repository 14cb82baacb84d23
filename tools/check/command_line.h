// The arguments of one vardok-check command: positional values, options
// with a value ("--warn 80"), and after "--" the rest as it stands.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace VardokCheck {

class Arguments {
 public:
  // args: what follows the command's name. Every option takes a value and
  // must be one of known; only those in repeatable may come more than once.
  // Throws UsageError.
  // names: what each positional argument is ("URL", "host"), for the
  // reason when one is empty.
  Arguments(const std::vector<std::string>& args, const std::set<std::string>& known,
            const std::vector<std::string>& names = {}, const std::set<std::string>& repeatable = {});

  const std::vector<std::string>& positional() const { return _positional; }
  const std::vector<std::string>& rest() const { return _rest; }
  bool has(const std::string& option) const { return _options.count(option) != 0; }
  std::string text(const std::string& option, const std::string& fallback = std::string()) const;
  // Every value of a repeatable option, in the order given.
  std::vector<std::string> texts(const std::string& option) const;
  // A decimal number such as 90 or 0.5 into *value; false when absent.
  bool decimal(const std::string& option, double* value) const;
  // A whole number from minimum to maximum; fallback when the option is
  // absent and not required. Throws UsageError naming the option.
  int64_t number(const std::string& option, int64_t minimum, int64_t maximum, bool required,
                 int64_t fallback = -1) const;

 private:
  std::vector<std::string> _positional;
  std::multimap<std::string, std::string> _options;
  std::vector<std::string> _rest;
};

// text with each %NAME% of the environment replaced by its value (an
// unknown name stays as written): the plug-in starts commands without a
// shell, so paths like %APPDATA%\list.txt are expanded here.
std::string expandEnvironment(const std::string& text);

// Checks that warn does not lie above crit when both are given.
void requireOrder(int64_t warn, int64_t crit);

}  // namespace VardokCheck
